"""The field operator of a tetrahedral mesh: a linear map from per-element
magnetisations to the field H, built once per mesh and applied many times.

Each element carries a uniform magnetisation M (A/m); the operator gives H
(A/m) at the element centroids (``apply``) or at any points (``field``).
Near every target the elements contribute through the exact closed form of
their face charges; further out each element stands for a few point dipoles
whose moments match the element's own up to a given degree, and beyond that
the octree's cells act through multipole expansions about their geometric
centres. Everything is linear in M: ``apply(a*m1 + b*m2)`` equals
``a*apply(m1) + b*apply(m2)`` up to rounding (about 1e-7 relative at the
loose levels, whose direct point dipoles run in single precision), which
Krylov solvers rely on.

The native work releases the interpreter lock, stops on Ctrl-C, and gives the
same bits for every thread count.
"""
import logging
import time

import numpy as np

from zandrel import _operator
from zandrel._convert import as_indices, as_points, as_positive, as_targets, as_threads, as_vectors
from zandrel.mesh import Mesh

__all__ = ["FieldOperator", "ACCURACY_TABLE"]

_log = logging.getLogger(__name__)

# accuracy -> discretisation, cheapest first. Each row was measured to keep the
# relative RMS error of H at the centroids (against the exact direct sum, for
# uniform, random and vortex magnetisations on jittered boxes and balls of
# 10^3 .. 10^5 elements) below its accuracy with margin; see
# benchmarks/bench_operator.py and the README's table. Columns: expansion
# order, cell acceptance theta, inner near zone (exact closed form) and outer
# shell (point dipoles plus a stored correction) in element radii, degree of
# each element's point-dipole rule, exact arctangent/logarithm in the closed
# form, near blocks stored between applications, direct point dipoles in
# single precision (about 1e-6 relative per pair, far below the rules' error
# at the loose levels; twice the vector lanes).
ACCURACY_TABLE = (
    # accuracy, order, theta, inner_factor, outer_factor, rule_degree, exact_math, store_near, single_direct
    (3e-3, 7, 0.7, 1.0, 2.0, 3, False, True, True),
    (1e-3, 10, 0.7, 1.0, 2.0, 3, False, True, True),
    (1e-4, 8, 0.5, 2.0, 2.5, 5, False, False, False),
    (1e-5, 10, 0.45, 2.5, 2.5, 5, True, False, False),
    (1e-6, 12, 0.4, 3.0, 3.0, 7, True, False, False),
    (0.0, 12, 0.35, 4.0, 4.0, 7, True, False, False),
)
# Bytes per element the operator may hold by default; meshes of well-shaped
# elements need 1,300-1,700 at the loose levels.
DEFAULT_MAX_BYTES_PER_ELEMENT = 2000.0
_LEAF_SIZE = 16  # at most 16: the stored near blocks mark a leaf's elements in 16 bits


def _target_leaf_size(single_direct):
    """Targets per leaf of the operator's target tree: 32 where the direct
    point dipoles are single precision (a leaf gathers them once and its
    targets share every load; measured fastest at the loose levels), 16
    elsewhere."""
    return 32 if single_direct else 16


def _parameters(accuracy):
    accuracy = as_positive(accuracy, "accuracy")
    for row in ACCURACY_TABLE:
        if accuracy >= row[0]:
            return accuracy, row[1:]
    raise AssertionError("unreachable: the table ends with accuracy 0")


def _mesh(mesh):
    """A zandrel.Mesh from a Mesh or a (nodes, elements) pair (checked and
    orientation-repaired by Mesh)."""
    if isinstance(mesh, Mesh):
        return mesh
    if isinstance(mesh, (tuple, list)) and len(mesh) == 2:
        return Mesh(*mesh)
    raise TypeError(f"mesh must be a zandrel.Mesh or a (nodes, elements) pair, got {type(mesh).__name__}")


def _rows(rows, n, name):
    return np.ascontiguousarray(as_indices(rows, name, n), dtype=np.uint32)


class FieldOperator:
    """The demagnetising-field operator of a tetrahedral mesh.

    Parameters
    ----------
    mesh : zandrel.Mesh or (nodes, elements)
        A pair is made into a ``zandrel.Mesh`` (nodes (N, 3) in m, elements
        (E, 4) of node indices of any integer dtype; checked, negatively
        oriented elements reordered, flat ones refused).
    accuracy : float, default 1e-3
        Target relative RMS error of H at the element centroids against the
        exact closed-form direct sum over all elements:
        ``sqrt(mean|H - H_exact|^2) / sqrt(mean|H_exact|^2)``, measured for
        uniform, random and vortex magnetisations. At 1e-3 and above the
        near field uses the library's fast arctangent/logarithm (itself about
        1.5e-5 off the exact functions); below 1e-4 it uses the exact ones.
        See ``ACCURACY_TABLE`` for the settings each level picks.
    threads : int, keyword-only, default 0
        Worker threads for building and applying; 0 uses every available
        processor. Results are bit-for-bit the same for every value.
    rows : array_like of int, keyword-only, optional
        Build only these rows: ``apply`` then returns H at the centroids of
        these elements (all elements stay sources). For a distributed solve,
        each worker builds its own share of the rows.
    points : array_like (T, 3), keyword-only, optional
        Instead of centroids, rows at these points (m): ``apply`` returns H
        (T, 3) there, with the interaction lists built once (``field`` builds
        them per call).
    max_bytes_per_element : float or None, keyword-only, default 2000
        The most memory (bytes per element of the mesh, or per point where
        there are more ``points`` than elements) the operator and its rows
        may hold, or 1 MiB in all if that is more; None for no limit. The
        near zones scale with each element's own radius, so meshes of
        elongated elements have more near pairs (a 4:2:1 box about three
        times as many as a cubic one).
        Past the limit, the near blocks of some target leaves are computed
        at every application instead of stored: the same field, less
        memory, more time per application (see ``info()``'s
        ``computed_near_pairs``). Well-shaped meshes stay well under 2000.

    Attributes
    ----------
    n_elements : int
        E, the number of elements (columns of the operator).
    rows : ndarray of uint32 or None
        The element indices whose centroids are the rows (None: all, or the
        rows are ``points``).
    points : ndarray (T, 3) or None
    accuracy : float
    """

    def __init__(self, mesh, accuracy=1e-3, *, threads=0, rows=None, points=None,
                 max_bytes_per_element=DEFAULT_MAX_BYTES_PER_ELEMENT):
        self.accuracy, settings = _parameters(accuracy)
        self.max_bytes_per_element = (None if max_bytes_per_element is None
                                      else as_positive(max_bytes_per_element, "max_bytes_per_element"))
        mesh = _mesh(mesh)
        self._mesh = mesh  # kept (shared, not copied) so that a pickled operator can be rebuilt
        self._threads = as_threads(threads)
        self.n_elements = mesh.n_elements
        if rows is not None and points is not None:
            raise ValueError("give rows (element indices) or points, not both")
        self.rows = None if rows is None else _rows(rows, self.n_elements, "rows")
        self.points = None if points is None else as_points(points, "points")
        start = time.perf_counter()
        self._handle = _operator.build(mesh.nodes, mesh.elements, self.rows if points is None else self.points,
                                       *settings, _LEAF_SIZE, _target_leaf_size(settings[-1]),
                                       self.max_bytes_per_element or 0.0, self._threads)
        _log.debug("FieldOperator: %d elements, %d rows, accuracy %g, built in %.3f s", self.n_elements,
                   self.n_rows, self.accuracy, time.perf_counter() - start)
        info = self.info()
        if info["memory_limited"]:
            # Worth knowing: each application then takes up to several times as long.
            _log.warning("FieldOperator: %.0f%% of the near pairs are computed at every application to stay within "
                         "max_bytes_per_element=%g; a higher limit, or None, stores them and applies faster",
                         100.0 * info["computed_near_pairs"] / info["near_pairs"], self.max_bytes_per_element)

    def __reduce__(self):
        # The native structure lives in this process only; a copy (pickle,
        # Dask, multiprocessing) is built again from the same geometry and
        # settings, which gives the same bits.
        return (_rebuilt, (self._mesh, self.accuracy, self._threads, self.rows, self.points,
                           self.max_bytes_per_element))

    @property
    def n_rows(self):
        """Number of rows: E, or the length of ``rows`` or ``points``."""
        if self.points is not None:
            return len(self.points)
        return self.n_elements if self.rows is None else len(self.rows)

    @property
    def shape(self):
        """(3 * n_rows, 3 * n_elements): the operator as a matrix on flattened (., 3) arrays."""
        return (3 * self.n_rows, 3 * self.n_elements)

    def apply(self, m):
        """H (n_rows, 3) in A/m at the rows (centroids or points) from magnetisations m
        (E, 3) in A/m, one uniform vector per element (a single (3,) vector
        magnetises every element alike)."""
        return _operator.apply(self._handle, as_vectors(m, "m", self.n_elements))

    __call__ = apply

    def field(self, m, targets):
        """H in A/m at arbitrary points ``targets`` ((3,), (T, 3) or (..., 3),
        in m) from magnetisations m (E, 3) in A/m; the result has the shape of
        ``targets``. Points inside or on elements are fine (the closed form is
        finite there, except exactly on an edge)."""
        flat, leading = as_targets(targets)
        h = _operator.field(self._handle, as_vectors(m, "m", self.n_elements), flat)
        return h.reshape(leading + (3,))

    def self_tensors(self, rows=None):
        """The field at each element's own centroid per unit magnetisation of
        that element alone: N (R, 3, 3) with H = N @ M, for the given element
        indices (default: the operator's centroid rows, or all elements).
        Dimensionless; the trace is
        -1 (the demagnetising tensor of the element at its centroid)."""
        if rows is None:
            rows = np.arange(self.n_elements) if self.rows is None else self.rows
        return _operator.self_tensors(self._handle, _rows(rows, self.n_elements, "rows")).reshape(-1, 3, 3)

    def info(self):
        """Sizes of the operator: elements, rows, interaction counts (near,
        mid and far pairs of target vectors; ``computed_near_pairs`` of the
        near pairs are computed per application: all of them at the tight
        levels, some when ``memory_limited``) and bytes held / used per
        apply."""
        return _operator.info(self._handle)

    def __repr__(self):
        return f"FieldOperator({self.n_elements} elements, {self.n_rows} rows, accuracy={self.accuracy:g})"


def _rebuilt(mesh, accuracy, threads, rows, points, max_bytes_per_element):
    return FieldOperator(mesh, accuracy, threads=threads, rows=rows, points=points,
                         max_bytes_per_element=max_bytes_per_element)
