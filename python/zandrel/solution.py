"""The result of a magnetostatic solve: magnetisations, fields anywhere,
forces on its bodies, files for ParaView."""
import numpy as np

from zandrel._convert import as_flag, as_targets, as_vector
from zandrel._locate import containing_tetrahedra
from zandrel.applied import Source, evaluate, flux_density_of, obstacles_of
from zandrel.constants import MU0
from zandrel.fields import _check_options, _evaluate_h_mag_tet4

__all__ = ["Solution"]

_FORCE_METHODS = ("maxwell", "kelvin")


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


class Solution(Source):
    """A solved model: magnetisation, fields, forces, convergence record.

    Per element (E rows, element order of the mesh):

    Attributes
    ----------
    M : (E, 3) ndarray
        Magnetisation in A/m (uniform in each element).
    H : (E, 3) ndarray
        Total field strength at the element centroids in A/m: the applied
        field plus the field of every magnetised element.
    B : (E, 3) ndarray
        Flux density μ0·(H + M) at the centroids in T.
    mesh : zandrel.Mesh
        The model's mesh (the bodies merged when ``solve`` got a list); its
        regions name the bodies.
    materials : zandrel.material_map.MaterialMap
        The material of every element (``materials.index``,
        ``materials.materials``, ``materials.labels``).
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

    Notes
    -----
    A Solution is itself a field source: ``field(points)`` gives H of the
    bodies plus the applied field, so it can be the ``applied`` field of
    another solve, and ``sol + other_source`` superposes.

    Inside soft iron (χ of 10³ and more) single elements' M scatter around
    their local mean (the centroid collocation determines field-free
    patterns only weakly); means, fields outside and near the bodies,
    moments and forces converge with refinement. Read B inside iron as an
    average over a region.
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

    # ---- fields -----------------------------------------------------------
    def _body_field(self, points, exact):
        """H (P, 3) in A/m of the magnetised elements alone at flat points (P, 3)."""
        if exact:
            return _evaluate_h_mag_tet4(self.mesh.nodes, self.mesh.elements, np.ascontiguousarray(self.M), points,
                                        _check_options())
        return body_field(self.operator, self.M, points)

    def field(self, targets, *, exact=False, client=None, chunk_size=None):
        """Field strength H in A/m at ``targets`` in m: the applied field
        plus the field of every magnetised element, inside and outside the
        bodies.

        Parameters
        ----------
        targets : array_like, shape (3,), (T, 3) or (..., 3)
            Points in m; a :class:`zandrel.grid.Grid` (a line, plane or box)
            too. The result has the same shape.
        exact : bool, default False
            False: the solve's field operator (relative RMS error about its
            ``accuracy``, 1e-3 by default, measured against the direct sum at
            points near and far; costs a fraction of a direct sum). True:
            the direct sum of every element's closed-form field (exact up to
            the kernels' fast arctangent, about 1e-6 relative; costs
            E x T kernel evaluations, about 1e8 per second on two cores).
            Both evaluate the same discrete magnetisation: the error of the
            model itself (the mesh) is usually larger (see the README).
        client, chunk_size : optional
            With a Dask ``client`` (a ``distributed.Client`` or a scheduler
            address), with a ``dask.array`` of targets (the result is then a
            lazy dask.array) or when the solve's operator is distributed, the
            operator's evaluation runs on the cluster in chunks of
            ``chunk_size`` targets (see
            :func:`zandrel.distributed.solution_field`; needs the
            ``distributed`` extra) with the same bits as the local one.

        Returns
        -------
        H : ndarray, shape of ``targets``
        """
        exact = as_flag(exact, "exact")
        remote = client is not None or chunk_size is not None or hasattr(targets, "__dask_graph__")
        if remote and exact:
            raise ValueError("exact=True evaluates here, by the direct sum: drop client and chunk_size, and pass "
                             "NumPy targets")
        if remote or (not exact and getattr(self.operator, "distributed", False)):
            from zandrel.distributed import solution_field

            return solution_field(self, targets, client=client if client is not None else
                                  getattr(self.operator, "client", None), chunk_size=chunk_size)
        flat, leading = as_targets(targets)
        h = evaluate(self.applied, flat, "the applied field")
        if len(flat) and self.mesh.n_elements:
            h = h + self._body_field(flat, exact)
        return h.reshape(leading + (3,))

    def flux_density(self, targets, *, exact=False):
        """Flux density B in T at ``targets`` in m: μ0·(H + M) inside a body
        (M of the element containing the point; on a face shared by two
        elements, the lower-numbered one), μ0·H in air.

        Parameters and accuracy as :meth:`field`; the result has the shape
        of ``targets``.
        """
        flat, leading = as_targets(targets)
        exact = as_flag(exact, "exact")
        b = flux_density_of(self.applied, flat, "the applied field")
        if len(flat) and self.mesh.n_elements:
            inside = containing_tetrahedra(self.mesh.nodes, self.mesh.elements, flat)
            magnetization = np.where(inside[:, None] >= 0, self.M[np.maximum(inside, 0)], 0.0)
            b = b + MU0 * (self._body_field(flat, exact) + magnetization)
        return b.reshape(leading + (3,))

    def locate(self, points):
        """int64 array in the shape of ``points`` (..., 3) without its last
        axis: the element containing each point (m), -1 outside the bodies."""
        flat, leading = as_targets(points, "points")
        return containing_tetrahedra(self.mesh.nodes, self.mesh.elements, flat).reshape(leading)

    def obstacles(self):
        """Bounding boxes (lo (K, 3), hi (K, 3)) in m of every element and of
        the applied field's carriers (None when these are unknown)."""
        corners = self.mesh.nodes[self.mesh.elements.astype(np.int64)]
        applied = obstacles_of(self.applied)
        if applied is None:
            return None
        return np.concatenate([corners.min(axis=1), applied[0]]), np.concatenate([corners.max(axis=1), applied[1]])

    # ---- forces -----------------------------------------------------------
    def force(self, region, about=(0.0, 0.0, 0.0), method="maxwell", *, exact=False, margin=None):
        """Magnetic force and torque on a body (or any set of elements).

        Parameters
        ----------
        region : str, list of str, array_like of int or bool mask
            The body: a region name, several names, element indices or a
            boolean mask over the elements.
        about : array_like, shape (3,), default (0, 0, 0)
            Reference point of the torque, in m.
        method : {"maxwell", "kelvin"}, default "maxwell"
            "maxwell": the vacuum Maxwell stress of the total field on a box
            in the air around the body (its margin half the clearance to the
            nearest other body, Gauss panels no larger than the margin).
            Needs air all around the body: a body touching another (or
            whose bounding box another reaches into) is refused with a
            ``ValueError``. "kelvin": μ0 (M·∇)H_ext over the body, H_ext the
            field of everything but the body itself, integrated exactly per
            element as the body's face charges in H_ext; works for bodies in
            contact.
        exact : bool, keyword-only, default False
            Evaluate the fields by the direct sum instead of the operator
            (see :meth:`field`; slower).
        margin : float, keyword-only, optional
            Maxwell only: the box's distance from the body's bounding box in
            m (default half the clearance to the nearest other body, at most
            half the body's size); must be below the clearance.

        Returns
        -------
        force : ndarray, shape (3,)
            In N.
        torque : ndarray, shape (3,)
            About ``about``, in N·m.

        Notes
        -----
        The force on a body from its own field is zero, so only the field of
        the others (and the applied field) acts on it. Both methods act on
        the same discrete magnetisation and agree to quadrature and
        field-evaluation error (a few 1e-4 in the tests); the model's own
        error shows under mesh refinement. When they disagree, trust Kelvin
        for bodies close to or touching others (it never integrates the
        strong field of a narrow gap), and Maxwell when the body's charges
        are rough (it only sees the smooth field in air). See the README.

        The Maxwell stress counts every source inside its box, so the field
        in the air must be free of sources: currents of a
        :class:`zandrel.CurrentSource` must close (J divergence-free). The
        field of an open conductor is not curl-free in the air, and the
        Maxwell force then depends on the box; Kelvin takes the applied
        field as given.
        """
        from zandrel.body_forces import kelvin_force_on, maxwell_force_on

        if method not in _FORCE_METHODS:
            raise ValueError(f"method must be 'maxwell' or 'kelvin', got {method!r}")
        body = self.mesh.select(region)
        if len(body) == 0:
            raise ValueError(f"region {region!r} selects no elements")
        about = as_vector(about, "about")
        exact = as_flag(exact, "exact")
        if method == "kelvin":
            if margin is not None:
                raise TypeError("margin applies to method='maxwell' only")
            return kelvin_force_on(self, body, about, exact)
        name = f"region {region!r}" if isinstance(region, str) else "the selected elements"
        return maxwell_force_on(self, body, about, exact, margin, name)

    # ---- files ------------------------------------------------------------
    def write(self, path, *, point_data=None, file_format=None, **kwargs):
        """Write the solved model for ParaView through meshio (``.vtu``,
        ``.xdmf``, ...).

        Cell data per element: ``M`` and ``H`` in A/m, ``B`` in T (each
        (E, 3)), ``region`` (1, 2, ... in the order of ``mesh.regions``,
        0 = none; the names as field data, see :meth:`zandrel.Mesh.write`),
        ``material`` (1, 2, ... in the order of ``materials.materials``; the
        names as field data entries ``"material <k>: <regions>: <material>"``
        with the value ``[k, 0]``).

        Parameters
        ----------
        path : str or path-like
            The file; its suffix picks the format.
        point_data : dict, optional
            ``{name: (N, ...) array}`` per node, written as well.
        file_format : str, optional
            meshio's format name, overriding the suffix.
        **kwargs
            Passed to ``meshio.write``.
        """
        from zandrel.mesh_io import write_mesh

        names = {f"material {k + 1}: {label}: {material!r}": np.array([k + 1, 0], dtype=np.int32)
                 for k, (label, material) in enumerate(zip(self.materials.labels, self.materials.materials))}
        cell_data = {"M": self.M, "H": self.H, "B": self.B,
                     "material": (np.asarray(self.materials.index) + 1).astype(np.int32)}
        write_mesh(self.mesh, path, cell_data, point_data, file_format, extra_field_data=names, **kwargs)

    def __repr__(self):
        state = "converged" if self.converged else "NOT converged"
        return (f"Solution({self.mesh.n_elements} elements, {state}, relative residual {self.residual:.2e}, "
                f"{self.iterations} operator applications)")
