"""The result of a magnetostatic solve."""
import numpy as np

from zandrel._convert import as_points
from zandrel.applied import evaluate
from zandrel.constants import MU0
from zandrel._locate import containing_tetrahedra

__all__ = ["Solution"]


class Solution:
    """A solved magnetised body: magnetisation, fields, convergence record.

    Per element (E rows, element order of the mesh):

    Attributes
    ----------
    M : (E, 3) ndarray
        Magnetisation in A/m (uniform in each element).
    H : (E, 3) ndarray
        Total field strength at the element centroids in A/m: the applied
        field plus the field of the whole magnetised body.
    B : (E, 3) ndarray
        Flux density μ0·(H + M) at the centroids in T.
    mesh : zandrel.Mesh
    materials : zandrel.material_map.MaterialMap
        The material of every element (``materials.index``,
        ``materials.materials``, ``materials.element_materials()``).
    applied : source
        The applied field (an object with ``field(points)``).
    operator : field operator
        The operator that maps M to H, reused by :meth:`field`.
    iterations : int
        Operator applications the solve used.
    newton_steps : int
        Newton steps (1 for linear materials of one kind, 0 when nothing was
        to solve).
    residuals : (K,) ndarray
        Relative residual history: the initial value, then one per GMRES
        iteration (linear materials) or per Newton step (nonlinear).
    residual : float
        The final relative residual (computed, not estimated).
    converged : bool
        Whether ``residual`` reached the requested tolerance.

    A Solution is itself a field source: ``field(points)`` gives H of the
    body plus the applied field, so it can be the ``applied`` field of
    another solve.
    """

    def __init__(self, *, mesh, materials, applied, operator, M, H, iterations, newton_steps, residuals, residual,
                 converged):
        self.mesh = mesh
        self.materials = materials
        self.applied = applied
        self.operator = operator
        self.M = M
        self.H = H
        self.B = MU0 * (H + M)
        for array in (self.M, self.H, self.B):
            array.flags.writeable = False
        self.iterations = iterations
        self.newton_steps = newton_steps
        self.residuals = np.asarray(residuals, dtype=np.float64)
        self.residual = residual
        self.converged = converged

    def field(self, targets):
        """Field strength H in A/m at ``targets`` (T, 3) or (3,) in m: the
        applied field plus the body's field (by the solve's operator), inside
        and outside the body. Returns (T, 3), or (3,) for a single point."""
        points = as_points(targets, "targets", allow_single=True)
        h = evaluate(self.applied, points, "the applied field")
        if len(points):
            h = h + np.asarray(self.operator.field(self.M, points), dtype=np.float64)
        return h[0] if np.ndim(targets) == 1 else h

    def flux_density(self, targets):
        """Flux density B in T at ``targets`` (T, 3) or (3,) in m:
        μ0·(H + M) inside the body (M of the element containing the point),
        μ0·H outside. Returns (T, 3), or (3,) for a single point."""
        points = as_points(targets, "targets", allow_single=True)
        inside = self.locate(points)
        magnetization = np.where(inside[:, None] >= 0, self.M[np.maximum(inside, 0)], 0.0)
        b = MU0 * (self.field(points) + magnetization)
        return b[0] if np.ndim(targets) == 1 else b

    def locate(self, points):
        """(P,) int64: the element containing each point (P, 3) in m, -1 outside the body."""
        points = as_points(points, "points")
        return containing_tetrahedra(self.mesh.nodes, self.mesh.elements, points)

    def __repr__(self):
        state = "converged" if self.converged else "NOT converged"
        return (f"Solution({self.mesh.n_elements} elements, {state}, relative residual {self.residual:.2e}, "
                f"{self.iterations} operator applications)")
