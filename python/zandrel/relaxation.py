"""The relaxed fixed-point magnetisation solver of the extension, with
keyword arguments, checked input and its progress sent to ``logging``."""
import logging
import warnings

import numpy as np

import _zandrel
from zandrel._convert import as_connectivity, as_count, as_flag, as_points, as_positive, as_vectors
from zandrel.capture import captured_fd1
from zandrel.fields import _check_options

__all__ = ["magnetization_tet4"]

log = logging.getLogger("zandrel")


def magnetization_tet4(nodes, connectivity, chi, hext, *, tol=None, max_iterations=1000, alpha=None,
                       use_octree=False, theta=0.5, leaf_threshold=8, threads=0, edge=False):
    """Self-consistent magnetisation of a linear body (M = chi H) in an applied field.

    Each element carries a uniform M. Starting from M = chi hext, every
    iteration evaluates the body's own field h at the element centroids and
    moves M <- alpha chi (h + hext) + (1 - alpha) M, until the largest
    change of any component is at most ``tol``. The iteration count grows
    about linearly with chi (hundreds at chi = 100): for soft iron the
    Krylov solvers of :func:`zandrel.solve` converge far faster.

    Parameters
    ----------
    nodes : array_like, shape (N, 3)
        Node coordinates in m.
    connectivity : array_like of int, shape (E, 4)
        0-based node indices of each tetrahedron, positively oriented.
    chi : float
        Susceptibility (> -1).
    hext : array_like, shape (E, 3) or (3,)
        Applied field at each element centroid in A/m; one vector for a
        uniform field.
    tol : float, optional
        Absolute tolerance on the change of M in A/m; default
        1e-6 |chi| max|hext|.
    max_iterations : int, default 1000
        Iteration limit.
    alpha : float, optional
        Relaxation factor in (0, 1]; default 2 / (2 + chi), which converges
        for every chi >= 0.
    use_octree, theta, leaf_threshold, threads, edge
        As for :func:`zandrel.h_mag_tet4` (the octree is rebuilt every
        iteration).

    Returns
    -------
    M : ndarray, shape (E, 3)
        Magnetisation in A/m.
    H : ndarray, shape (E, 3)
        Total field (own field + hext) at the centroids in A/m.

    Raises
    ------
    FloatingPointError
        When the iteration diverges (M becomes infinite or NaN although
        every input is finite); the message names the iteration and
        suggests alpha = 2 / (2 + chi), which converges for every chi > -1.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second; nothing is returned.

    Warns
    -----
    RuntimeWarning
        When the iteration limit is reached before ``tol``.

    Notes
    -----
    The solver's progress lines are logged at DEBUG level on the
    ``zandrel`` logger after the call, and a summary at INFO level.
    """
    nodes = as_points(nodes, "nodes")
    connectivity = as_connectivity(connectivity, "connectivity", len(nodes))
    hext = as_vectors(hext, "hext", len(connectivity))
    try:
        chi = float(chi)
    except (TypeError, ValueError):
        raise TypeError(f"chi must be a real number, got {chi!r}") from None
    if not (np.isfinite(chi) and chi > -1.0):
        raise ValueError(f"chi must be finite and greater than -1, got {chi!r}")
    scale = abs(chi) * float(np.abs(hext).max(initial=0.0))
    tol = 1e-6 * scale if tol is None else as_positive(tol, "tol", allow_zero=True)
    max_iterations = as_count(max_iterations, "max_iterations")
    if max_iterations > 0xFFFFFFFF:
        raise ValueError(f"max_iterations must be at most 4294967295, got {max_iterations}")
    alpha = 2.0 / (2.0 + max(chi, 0.0)) if alpha is None else as_positive(alpha, "alpha")
    if alpha > 1.0:
        raise ValueError(f"alpha must lie in (0, 1], got {alpha!r}")
    options = _check_options(use_octree, edge, theta, leaf_threshold, threads)
    leaf = options.leaf_threshold if as_flag(use_octree, "use_octree") else 0  # 0 selects the direct sum
    if leaf and len(connectivity) == 0:
        return np.zeros((0, 3)), np.zeros((0, 3))

    with captured_fd1() as lines:
        m, h = _zandrel.magnetization_tet4(nodes, connectivity, chi, hext, tol, max_iterations, options.theta,
                                           leaf, alpha, options.threads, options.edge)
    for line in lines:
        log.debug("magnetization_tet4: %s", line)
    last = float(lines[-1].rsplit(" ", 1)[1]) if lines else 0.0
    log.info("magnetization_tet4: %d iterations, last change %.3e A/m (tolerance %.3e A/m)", len(lines), last, tol)
    if len(lines) >= max_iterations and last > tol:
        warnings.warn(f"magnetization_tet4 stopped at the iteration limit ({max_iterations}) with a change of "
                      f"{last:.3e} A/m above tol = {tol:.3e} A/m: raise max_iterations or lower alpha",
                      RuntimeWarning, stacklevel=2)
    return m, h
