"""H and B of magnetised and current-carrying sources at any points.

Keyword-friendly functions over the field functions of the extension
``_zandrel``: arrays are converted as NumPy does (any float or integer dtype,
any memory layout), shapes and indices are checked before the native call
with errors that name the argument, targets may have any leading shape
(``(3,)`` gives ``(3,)``, ``(n1, n2, 3)`` gives ``(n1, n2, 3)``), and the
results are bit for bit those of the native functions. SI units: lengths in
m, magnetisation and H in A/m, current density in A/m², B in T.

Each public function is ``check`` (``_check_..._args``: converted arrays and
options) followed by ``evaluate`` (``_evaluate_...``: the native call on
checked arrays), so that other front ends (chunked or distributed
evaluation) reuse the same checks and the same arithmetic.
"""
import contextlib
from typing import NamedTuple

import numpy as np

import _zandrel
from zandrel._convert import (as_connectivity, as_count, as_flag, as_points, as_positive, as_targets, as_threads,
                              as_values, as_vectors)
from zandrel._locate import containing_spheres, containing_tetrahedra
from zandrel._docs import docstring
from zandrel.constants import MU0

__all__ = ["h_mag_tet4", "b_mag_tet4", "h_mag_point", "b_mag_point",
           "h_current_tet4", "b_current_tet4", "h_current_point", "b_current_point"]

# 4*pi as the point kernels write it: the equivalent sphere of a point source
# of volume V has the radius cbrt(3 V / (4 pi)).
_FOUR_PI = 12.566370614359172


class FieldOptions(NamedTuple):
    """Checked evaluation options shared by the field functions."""
    use_octree: bool
    edge: bool
    theta: float
    leaf_threshold: int
    threads: int


def _check_options(use_octree=False, edge=False, theta=0.5, leaf_threshold=8, threads=0):
    leaf_threshold = as_count(leaf_threshold, "leaf_threshold", minimum=1)
    if leaf_threshold > 0xFFFFFFFF:
        raise ValueError(f"leaf_threshold must be at most 4294967295, got {leaf_threshold}")
    return FieldOptions(as_flag(use_octree, "use_octree"), as_flag(edge, "edge"),
                        as_positive(theta, "theta", allow_zero=True), leaf_threshold, as_threads(threads))


def _check_tet4_sources(nodes, connectivity, vectors, vectors_name):
    """(N, 3) float64 nodes, (E, 4) uint32 connectivity, (E, 3) float64 vectors."""
    nodes = as_points(nodes, "nodes")
    connectivity = as_connectivity(connectivity, "connectivity", len(nodes))
    return nodes, connectivity, as_vectors(vectors, vectors_name, len(connectivity))


def _check_point_sources(points, points_name, volumes, vectors, vectors_name):
    """(N, 3) float64 points, (N,) float64 volumes >= 0, (N, 3) float64 vectors."""
    points = as_points(points, points_name, allow_single=True)
    volumes = as_values(volumes, "volumes", len(points), minimum=0.0)
    return points, volumes, as_vectors(vectors, vectors_name, len(points))


@contextlib.contextmanager
def _octree_errors(options):
    """The one octree failure that checked input can still meet, as a ValueError."""
    try:
        yield
    except _zandrel.PanicException as exc:
        if "explicit panic" not in str(exc):
            raise
        raise ValueError(f"more than leaf_threshold={options.leaf_threshold} sources share one position of the "
                         "octree (its cube cut 2^21 times per axis): remove duplicate sources or raise "
                         "leaf_threshold") from None


def _evaluate(native, n_sources, targets, options, *args):
    """H (T, 3) from a native field function on checked arrays; an octree
    over no sources gives zero, as the direct sum does."""
    if options.use_octree and n_sources == 0:
        return np.zeros((len(targets), 3))
    with _octree_errors(options):
        return native(*args)


def _field(evaluate, checked):
    """The field of checked arguments, in the shape of the targets."""
    sources, targets, shape, options = checked
    return evaluate(*sources, targets, options).reshape(shape + (3,))


# ---- magnetised tetrahedra ------------------------------------------------

def _check_h_mag_tet4_args(nodes, connectivity, mvectors, targets, **options):
    """Checked arguments of ``h_mag_tet4`` and ``b_mag_tet4``: ``((nodes,
    connectivity, mvectors), targets (T, 3), leading shape, FieldOptions)``."""
    sources = _check_tet4_sources(nodes, connectivity, mvectors, "mvectors")
    return (sources, *as_targets(targets), _check_options(**options))


def _evaluate_h_mag_tet4(nodes, connectivity, mvectors, targets, options):
    return _evaluate(_zandrel.h_mag_tet4, len(connectivity), targets, options, nodes, connectivity, mvectors,
                     targets, options.theta, options.leaf_threshold, options.threads, options.use_octree,
                     options.edge)


def _evaluate_b_mag_tet4(nodes, connectivity, mvectors, targets, options):
    h = _evaluate_h_mag_tet4(nodes, connectivity, mvectors, targets, options)
    element = containing_tetrahedra(nodes, connectivity, targets)
    inside = element >= 0
    h[inside] += mvectors[element[inside]]
    return MU0 * h


@docstring
def h_mag_tet4(nodes, connectivity, mvectors, targets, *, use_octree=False, edge=False, theta=0.5,
               leaf_threshold=8, threads=0):
    """Magnetic field strength H of uniformly magnetised tetrahedra.

    Each element is replaced by the surface charges M.n on its faces, whose
    field is evaluated in closed form; exact up to the fast arctangent and
    logarithm of the kernels (absolute error about 3e-7 |M|). A
    :class:`zandrel.Mesh` unpacks into ``nodes, connectivity``:
    ``h_mag_tet4(*mesh, m, targets)``.

    Parameters
    ----------
    {tet4}
    mvectors : array_like, shape (E, 3) or (3,)
        Magnetisation of each element in A/m; one (3,) vector for all.
    {targets}
    {octree}
    {edge}

    {h_returns}

    {errors}

    See Also
    --------
    b_mag_tet4 : the flux density B.
    """
    return _field(_evaluate_h_mag_tet4, _check_h_mag_tet4_args(
        nodes, connectivity, mvectors, targets, use_octree=use_octree, edge=edge, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


@docstring
def b_mag_tet4(nodes, connectivity, mvectors, targets, *, use_octree=False, edge=False, theta=0.5,
               leaf_threshold=8, threads=0):
    """Magnetic flux density B of uniformly magnetised tetrahedra.

    B = mu0 (H + M) at a target inside an element (M of that element; a
    target on a face or edge shared by several elements takes the M of the
    lowest-numbered one), B = mu0 H elsewhere, with H of :func:`h_mag_tet4`
    and {mu0}.

    Parameters
    ----------
    {tet4}
    mvectors : array_like, shape (E, 3) or (3,)
        Magnetisation of each element in A/m.
    {targets}
    {octree}
    {edge}

    {b_returns}

    {errors}
    """
    return _field(_evaluate_b_mag_tet4, _check_h_mag_tet4_args(
        nodes, connectivity, mvectors, targets, use_octree=use_octree, edge=edge, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


# ---- point dipoles --------------------------------------------------------

def _check_h_mag_point_args(centroids, volumes, mvectors, targets, **options):
    """Checked arguments of ``h_mag_point`` and ``b_mag_point``: ``((centroids,
    volumes, mvectors), targets (T, 3), leading shape, FieldOptions)``."""
    sources = _check_point_sources(centroids, "centroids", volumes, mvectors, "mvectors")
    return (sources, *as_targets(targets), _check_options(**options))


def _evaluate_h_mag_point(centroids, volumes, mvectors, targets, options):
    return _evaluate(_zandrel.h_mag_point, len(centroids), targets, options, centroids, volumes, mvectors,
                     targets, options.theta, options.leaf_threshold, options.threads, options.use_octree)


def _evaluate_b_mag_point(centroids, volumes, mvectors, targets, options):
    h = _evaluate_h_mag_point(centroids, volumes, mvectors, targets, options)
    # Superposition of uniformly magnetised spheres: each adds its own M
    # inside itself, so overlapping spheres add up.
    point, source = containing_spheres(centroids, np.cbrt((3.0 * volumes) / _FOUR_PI), targets)
    np.add.at(h, point, mvectors[source])
    return MU0 * h


@docstring
def h_mag_point(centroids, volumes, mvectors, targets, *, use_octree=False, theta=0.5, leaf_threshold=8,
                threads=0):
    """Magnetic field strength H of point dipoles (small magnetised volumes).

    Source i is the dipole of moment ``mvectors[i] * volumes[i]`` (A·m²) at
    ``centroids[i]``; within the sphere of that volume around it the field
    is the uniform -M/3 inside a uniformly magnetised sphere, so targets on
    or near a source get finite values.

    Parameters
    ----------
    centroids : array_like, shape (N, 3) or (3,)
        Source positions in m (e.g. ``mesh.centroids``).
    {volumes}
    mvectors : array_like, shape (N, 3) or (3,)
        Magnetisation of each source in A/m.
    {targets}
    {octree}

    {h_returns}

    {errors}

    See Also
    --------
    b_mag_point : the flux density B.
    """
    return _field(_evaluate_h_mag_point, _check_h_mag_point_args(
        centroids, volumes, mvectors, targets, use_octree=use_octree, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


@docstring
def b_mag_point(centroids, volumes, mvectors, targets, *, use_octree=False, theta=0.5, leaf_threshold=8,
                threads=0):
    """Magnetic flux density B of point dipoles (small magnetised volumes).

    B = mu0 (H + the sum of M of every source sphere containing the
    target), with H of :func:`h_mag_point`, the spheres of its inside
    formula (radius cbrt(3 V / (4 pi)), boundary included) and {mu0}.

    Parameters
    ----------
    centroids : array_like, shape (N, 3) or (3,)
        Source positions in m.
    {volumes}
    mvectors : array_like, shape (N, 3) or (3,)
        Magnetisation of each source in A/m.
    {targets}
    {octree}

    {b_returns}

    {errors}
    """
    return _field(_evaluate_b_mag_point, _check_h_mag_point_args(
        centroids, volumes, mvectors, targets, use_octree=use_octree, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


# ---- current-carrying tetrahedra -------------------------------------------

def _check_h_current_tet4_args(nodes, connectivity, jdensity, targets, **options):
    """Checked arguments of ``h_current_tet4`` and ``b_current_tet4``: ``((nodes,
    connectivity, jdensity), targets (T, 3), leading shape, FieldOptions)``."""
    sources = _check_tet4_sources(nodes, connectivity, jdensity, "jdensity")
    return (sources, *as_targets(targets), _check_options(**options))


def _evaluate_h_current_tet4(nodes, connectivity, jdensity, targets, options):
    if options.use_octree:
        return _evaluate(_zandrel.h_current_tet4_octree, len(connectivity), targets, options, nodes, connectivity,
                         jdensity, targets, options.theta, options.leaf_threshold, options.threads)
    return _zandrel.h_current_tet4_direct(nodes, connectivity, jdensity, targets, options.threads, options.edge)


def _evaluate_b_current_tet4(nodes, connectivity, jdensity, targets, options):
    return MU0 * _evaluate_h_current_tet4(nodes, connectivity, jdensity, targets, options)


@docstring
def h_current_tet4(nodes, connectivity, jdensity, targets, *, use_octree=False, edge=False, theta=0.5,
                   leaf_threshold=8, threads=0):
    """Magnetic field strength H of tetrahedra carrying uniform current densities.

    The Biot-Savart volume integral of each element in closed form (its
    four faces); exact up to the kernels' fast arctangent and logarithm.
    The current density should be divergence-free across the mesh (as in a
    coil) for the field to be that of a physical current distribution.

    Parameters
    ----------
    {tet4}
    jdensity : array_like, shape (E, 3) or (3,)
        Current density of each element in A/m².
    {targets}
    {octree}
    {edge}

    {h_returns}

    {errors}

    See Also
    --------
    b_current_tet4 : the flux density B = mu0 H.
    """
    return _field(_evaluate_h_current_tet4, _check_h_current_tet4_args(
        nodes, connectivity, jdensity, targets, use_octree=use_octree, edge=edge, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


@docstring
def b_current_tet4(nodes, connectivity, jdensity, targets, *, use_octree=False, edge=False, theta=0.5,
                   leaf_threshold=8, threads=0):
    """Magnetic flux density B = mu0 H of current-carrying tetrahedra.

    H of :func:`h_current_tet4` times {mu0}; the conductors are not
    magnetic.

    Parameters
    ----------
    {tet4}
    jdensity : array_like, shape (E, 3) or (3,)
        Current density of each element in A/m².
    {targets}
    {octree}
    {edge}

    {b_returns}

    {errors}
    """
    return _field(_evaluate_b_current_tet4, _check_h_current_tet4_args(
        nodes, connectivity, jdensity, targets, use_octree=use_octree, edge=edge, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


# ---- point current elements -------------------------------------------------

def _check_h_current_point_args(src_pts, volumes, jdensity, targets, **options):
    """Checked arguments of ``h_current_point`` and ``b_current_point``: ``((src_pts,
    volumes, jdensity), targets (T, 3), leading shape, FieldOptions)``."""
    sources = _check_point_sources(src_pts, "src_pts", volumes, jdensity, "jdensity")
    return (sources, *as_targets(targets), _check_options(**options))


def _evaluate_h_current_point(src_pts, volumes, jdensity, targets, options):
    if options.use_octree:
        return _evaluate(_zandrel.h_current_point_octree, len(src_pts), targets, options, src_pts, volumes,
                         jdensity, targets, options.theta, options.leaf_threshold, options.threads)
    return _zandrel.h_current_point_direct(src_pts, volumes, jdensity, targets, options.threads)


def _evaluate_b_current_point(src_pts, volumes, jdensity, targets, options):
    return MU0 * _evaluate_h_current_point(src_pts, volumes, jdensity, targets, options)


@docstring
def h_current_point(src_pts, volumes, jdensity, targets, *, use_octree=False, theta=0.5, leaf_threshold=8,
                    threads=0):
    """Magnetic field strength H of point current elements (small volumes carrying current).

    Source i is the current element ``jdensity[i] * volumes[i]`` (A·m) at
    ``src_pts[i]``: outside the sphere of that volume its field is the
    Biot-Savart V J x r / (4 pi r^3), inside it rises linearly from zero at
    the centre, as in a uniformly current-carrying sphere.

    Parameters
    ----------
    src_pts : array_like, shape (N, 3) or (3,)
        Source positions in m.
    {volumes}
    jdensity : array_like, shape (N, 3) or (3,)
        Current density of each source in A/m².
    {targets}
    {octree}

    {h_returns}

    {errors}

    See Also
    --------
    b_current_point : the flux density B = mu0 H.
    """
    return _field(_evaluate_h_current_point, _check_h_current_point_args(
        src_pts, volumes, jdensity, targets, use_octree=use_octree, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))


@docstring
def b_current_point(src_pts, volumes, jdensity, targets, *, use_octree=False, theta=0.5, leaf_threshold=8,
                    threads=0):
    """Magnetic flux density B = mu0 H of point current elements.

    H of :func:`h_current_point` times {mu0}.

    Parameters
    ----------
    src_pts : array_like, shape (N, 3) or (3,)
        Source positions in m.
    {volumes}
    jdensity : array_like, shape (N, 3) or (3,)
        Current density of each source in A/m².
    {targets}
    {octree}

    {b_returns}

    {errors}
    """
    return _field(_evaluate_b_current_point, _check_h_current_point_args(
        src_pts, volumes, jdensity, targets, use_octree=use_octree, theta=theta,
        leaf_threshold=leaf_threshold, threads=threads))
