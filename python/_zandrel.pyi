# Type stub of the _zandrel extension module.
#
# Arrays are NumPy arrays of exactly the dtype and number of dimensions shown
# (nothing is converted); shapes are given in each docstring. Scalars typed
# `int` must lie in 0 .. 4294967295.
import numpy as np
from numpy.typing import NDArray

__all__: list[str]

class PanicException(BaseException):
    """A call aborted by a failed internal check (bad index, length mismatch, ...)."""

def h_current_point_direct(
    src_pts: NDArray[np.float64],
    src_vol: NDArray[np.float64],
    src_jdensity: NDArray[np.float64],
    tgt_pts: NDArray[np.float64],
    nthreads_requested: int,
) -> NDArray[np.float64]:
    """H of point current elements: src_pts (N, 3), src_vol (N,) contiguous,
    src_jdensity (N, 3), tgt_pts (T, 3) -> (T, 3)."""

def h_mag_point(
    centroids: NDArray[np.float64],
    volumes: NDArray[np.float64],
    mvectors: NDArray[np.float64],
    targets: NDArray[np.float64],
    theta: float,
    leaf_threshold: int,
    nthreads_requested: int,
    use_octree: bool,
) -> NDArray[np.float64]:
    """H of point dipoles: centroids (N, 3), volumes (N,) contiguous,
    mvectors (N, 3) magnetisation, targets (T, 3) -> (T, 3)."""

def mesh_centroids(nodes: NDArray[np.float64], connectivity: NDArray[np.uint32]) -> NDArray[np.float64]:
    """Element centroids: nodes (N, 3), connectivity (E, 4), both contiguous -> (E, 3)."""

def mesh_volumes(nodes: NDArray[np.float64], connectivity: NDArray[np.uint32]) -> NDArray[np.float64]:
    """Element volumes (non-negative): nodes (N, 3), connectivity (E, 4), both contiguous -> (E,)."""
