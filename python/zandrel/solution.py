"""The result of a magnetostatic solve."""
import numpy as np

from zandrel._convert import as_points
from zandrel.applied import evaluate
from zandrel.constants import MU0
from zandrel._locate import containing_tetrahedra

__all__ = ["Solution"]


# Targets per call of the operator's field: bounds the memory of its plan
# for the targets, and fixes how targets are grouped (an operator whose far
# field is expanded about target cells gives bits that depend on the group),
# so that any evaluation in whole blocks, local or distributed, has the same
# bits. Never less than the elements: a call also sums up their multipoles.
_FIELD_BLOCK = 65536


def field_block(n_elements):
    """Targets per call of an operator's field for a mesh of ``n_elements``."""
    return max(_FIELD_BLOCK, n_elements)


def body_field(operator, M, points):
    """H (P, 3) in A/m of the magnetisations ``M`` (E, 3) at ``points``
    (P, 3) by ``operator.field``, in blocks of :func:`field_block` targets."""
    block = field_block(len(M))
    out = np.empty((len(points), 3))
    for start in range(0, len(points), block):
        out[start:start + block] = operator.field(M, points[start:start + block])
    return out


def field_in_blocks(operator, M, applied, points):
    """H (P, 3) in A/m of a solved model at ``points`` (P, 3): the applied
    field plus the body's field."""
    h = evaluate(applied, points, "the applied field")
    if len(points):
        h = h + body_field(operator, M, points)
    return h


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

    def field(self, targets, *, client=None, chunk_size=None):
        """Field strength H in A/m at ``targets`` (T, 3) or (3,) in m: the
        applied field plus the body's field (by the solve's operator), inside
        and outside the body. Returns (T, 3), or (3,) for a single point.

        With a Dask ``client`` (a ``distributed.Client`` or a scheduler
        address), with a ``dask.array`` of targets (the result is then a lazy
        dask.array) or when the solve's operator is distributed, the
        evaluation runs on the cluster in chunks of ``chunk_size`` targets
        (see :func:`zandrel.distributed.solution_field`; needs the
        ``distributed`` extra) with the same bits as the local one."""
        if client is not None or chunk_size is not None or hasattr(targets, "__dask_graph__") \
                or getattr(self.operator, "distributed", False):
            from zandrel.distributed import solution_field

            return solution_field(self, targets, client=client if client is not None else
                                  getattr(self.operator, "client", None), chunk_size=chunk_size)
        points = as_points(targets, "targets", allow_single=True)
        h = field_in_blocks(self.operator, self.M, self.applied, points)
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
