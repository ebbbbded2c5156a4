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

def h_current_point_octree(
    src_pts: NDArray[np.float64],
    src_vol: NDArray[np.float64],
    src_jdensity: NDArray[np.float64],
    tgt_pts: NDArray[np.float64],
    theta: float,
    leaf_threshold: int,
    nthreads_requested: int,
) -> NDArray[np.float64]:
    """H of point current elements by the Barnes-Hut octree: src_pts (N, 3),
    src_vol (N,) contiguous, src_jdensity (N, 3), tgt_pts (T, 3) -> (T, 3).
    theta: opening parameter (0 = exact); leaf_threshold: most sources per
    leaf (0 always fails)."""

def h_current_tet4_direct(
    nodes: NDArray[np.float64],
    connectivity: NDArray[np.uint32],
    jdensity: NDArray[np.float64],
    tgts: NDArray[np.float64],
    nthreads_requested: int,
    edge: bool,
) -> NDArray[np.float64]:
    """H of tetrahedra with uniform current densities, exact closed form:
    nodes (N, 3), connectivity (E, 4), jdensity (E, 3), all contiguous,
    tgts (T, 3) -> (T, 3)."""

def h_current_tet4_octree(
    nodes: NDArray[np.float64],
    connectivity: NDArray[np.uint32],
    jdensity: NDArray[np.float64],
    tgt_pts: NDArray[np.float64],
    theta: float,
    leaf_threshold: int,
    nthreads_requested: int,
) -> NDArray[np.float64]:
    """H of tetrahedra with uniform current densities by the Barnes-Hut
    octree (edge-formulation leaves): nodes (N, 3), connectivity (E, 4),
    jdensity (E, 3), all contiguous, tgt_pts (T, 3) -> (T, 3)."""

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
    mvectors (N, 3) magnetisation, targets (T, 3) -> (T, 3). With
    use_octree, by the Barnes-Hut octree (theta, leaf_threshold)."""

def h_mag_tet4(
    nodes: NDArray[np.float64],
    connectivity: NDArray[np.uint32],
    mvectors: NDArray[np.float64],
    targets: NDArray[np.float64],
    theta: float,
    leaf_threshold: int,
    nthreads_requested: int,
    use_octree: bool,
    edge: bool,
) -> NDArray[np.float64]:
    """H of uniformly magnetised tetrahedra: nodes (N, 3), connectivity (E, 4),
    mvectors (E, 3) magnetisation, all contiguous, targets (T, 3) -> (T, 3).
    With use_octree, by the Barnes-Hut octree (theta, leaf_threshold;
    edge-formulation leaves, edge ignored)."""

def magnetization_tet4(
    nodes: NDArray[np.float64],
    connectivity: NDArray[np.uint32],
    chi: float,
    hext: NDArray[np.float64],
    tol: float,
    max_iterations: int,
    theta: float,
    leaf_threshold: int,
    alpha: float,
    nthreads_requested: int,
    edge: bool,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Self-consistent magnetisation of a linear material (M = chi H) in the
    applied field hext: nodes (N, 3) contiguous, connectivity (M, 4)
    contiguous, hext (M, 3) (applied field at each element centroid; extra
    rows ignored) -> (magnetisation (M, 3), total field H at the centroids
    (M, 3)). leaf_threshold 0 selects the direct field evaluation (edge picks
    its formulation), otherwise the octree with theta. Writes
    "Iteration: k; max change: X" to file descriptor 1 every iteration.
    Raises FloatingPointError when the magnetisation becomes infinite or NaN
    although chi, alpha, hext and the nodes are finite (a diverging
    iteration: alpha = 2/(2 + chi) converges)."""

def mesh_centroids(nodes: NDArray[np.float64], connectivity: NDArray[np.uint32]) -> NDArray[np.float64]:
    """Element centroids: nodes (N, 3), connectivity (E, 4), both contiguous -> (E, 3)."""

def mesh_volumes(nodes: NDArray[np.float64], connectivity: NDArray[np.uint32]) -> NDArray[np.float64]:
    """Element volumes (non-negative): nodes (N, 3), connectivity (E, 4), both contiguous -> (E,)."""

def mesh_surface_faces(connectivity: NDArray[np.uint32]) -> NDArray[np.uint32]:
    """Boundary triangles: connectivity (E, 4) contiguous -> (K, 3), faces
    belonging to an odd number of elements, in element-list order."""

def mesh_surface_face_properties(
    nodes: NDArray[np.float64], faces: NDArray[np.uint32]
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """nodes (N, 3), faces (F, 3), both contiguous -> (areas (F,),
    centroids (F, 3), unit normals (F, 3))."""

def mesh_surface_forces(
    face_areas: NDArray[np.float64], face_normals: NDArray[np.float64], b_field: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Maxwell-stress force per face in N: face_areas (F,) m^2, face_normals
    (F, 3), b_field (F, 3) in T, all contiguous -> (F, 3)."""

def _mesh_surface_tets(
    nodes: NDArray[np.float64],
    faces: NDArray[np.uint32],
    centroids: NDArray[np.float64],
    normals: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.uint32]]:
    """Small tetrahedron straddling each face: flat nodes (3N,), faces (3F,),
    centroids (3F,), normals (3F,), all contiguous -> (new nodes (12F,),
    new connectivity (4F,))."""

def mesh_kelvin_force_density(
    nodes: NDArray[np.float64],
    connectivity: NDArray[np.uint32],
    m_field_centroids: NDArray[np.float64],
    h_field_nodes: NDArray[np.float64],
) -> NDArray[np.float64]:
    """(M . grad) H per element: nodes (N, 3), connectivity (E, 4) contiguous,
    m_field_centroids (E, 3), h_field_nodes (N, 3) -> (E, 3)."""
