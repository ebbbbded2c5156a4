"""Parameter kinds of every exported function, with a small valid call.

Kinds: 'f64_2' / 'f64_1' (float64 array of that ndim), 'u32_2' / 'u32_1'
(uint32 array), 'f64' (float), 'u32' (unsigned 32-bit int), 'bool'.
"""
import numpy as np

UNIT_NODES = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
UNIT_CONN = np.array([[0, 1, 2, 3]], dtype=np.uint32)
TARGETS = np.array([[2.0, 0.5, 0.1], [0.1, 0.2, 0.3], [-1.0, 3.0, 0.5]])
POINTS = np.array([[0.0, 0.0, 0.0], [0.5, 0.2, -0.1]])
VOLS = np.array([0.01, 0.02])
VECS = np.array([[0.0, 0.0, 1.0], [0.3, -0.2, 0.5]])
FACES = np.array([[0, 3, 2], [0, 2, 1], [0, 1, 3], [1, 2, 3]], dtype=np.uint32)

# name -> list of (parameter, kind, valid value)
FUNCTIONS = {
    "h_current_point_direct": [
        ("src_pts", "f64_2", POINTS), ("src_vol", "f64_1", VOLS), ("src_jdensity", "f64_2", VECS),
        ("tgt_pts", "f64_2", TARGETS), ("nthreads_requested", "u32", 0)],
    "h_current_point_octree": [
        ("src_pts", "f64_2", POINTS), ("src_vol", "f64_1", VOLS), ("src_jdensity", "f64_2", VECS),
        ("tgt_pts", "f64_2", TARGETS), ("theta", "f64", 0.5), ("leaf_threshold", "u32", 1),
        ("nthreads_requested", "u32", 0)],
    "h_current_tet4_direct": [
        ("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN), ("jdensity", "f64_2", VECS[:1]),
        ("tgts", "f64_2", TARGETS), ("nthreads_requested", "u32", 0), ("edge", "bool", False)],
    "h_current_tet4_octree": [
        ("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN), ("jdensity", "f64_2", VECS[:1]),
        ("tgt_pts", "f64_2", TARGETS), ("theta", "f64", 0.5), ("leaf_threshold", "u32", 1),
        ("nthreads_requested", "u32", 0)],
    "h_mag_point": [
        ("centroids", "f64_2", POINTS), ("volumes", "f64_1", VOLS), ("mvectors", "f64_2", VECS),
        ("targets", "f64_2", TARGETS), ("theta", "f64", 0.5), ("leaf_threshold", "u32", 1),
        ("nthreads_requested", "u32", 0), ("use_octree", "bool", False)],
    "h_mag_tet4": [
        ("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN), ("mvectors", "f64_2", VECS[:1]),
        ("targets", "f64_2", TARGETS), ("theta", "f64", 0.5), ("leaf_threshold", "u32", 1),
        ("nthreads_requested", "u32", 0), ("use_octree", "bool", False), ("edge", "bool", False)],
    "magnetization_tet4": [
        ("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN), ("chi", "f64", 0.5),
        ("hext", "f64_2", VECS[:1]), ("tol", "f64", 1e-9), ("max_iterations", "u32", 2), ("theta", "f64", 0.5),
        ("leaf_threshold", "u32", 0), ("alpha", "f64", 1.0), ("nthreads_requested", "u32", 0),
        ("edge", "bool", False)],
    "mesh_centroids": [("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN)],
    "mesh_volumes": [("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN)],
    "mesh_surface_faces": [("connectivity", "u32_2", UNIT_CONN)],
    "mesh_surface_face_properties": [("nodes", "f64_2", UNIT_NODES), ("faces", "u32_2", FACES)],
    "mesh_surface_forces": [
        ("face_areas", "f64_1", np.array([0.5, 0.5, 0.5, 0.8660254037844386])),
        ("face_normals", "f64_2", np.array([[-1.0, 0, 0], [0, 0, -1.0], [0, -1.0, 0], [0.57735, 0.57735, 0.57735]])),
        ("b_field", "f64_2", np.ones((4, 3)))],
    "_mesh_surface_tets": [
        ("nodes", "f64_1", UNIT_NODES.ravel()), ("faces", "u32_1", FACES.ravel()),
        ("centroids", "f64_1", np.full(12, 0.25)), ("normals", "f64_1", np.tile([0.0, 0.0, 1.0], 4))],
    "mesh_kelvin_force_density": [
        ("nodes", "f64_2", UNIT_NODES), ("connectivity", "u32_2", UNIT_CONN), ("m_field_centroids", "f64_2", VECS[:1]),
        ("h_field_nodes", "f64_2", UNIT_NODES * 2.0)],
}

REGISTRATION_ORDER = list(FUNCTIONS)


def valid_args(name):
    """Fresh copies, so that no test shares (or counts references to) another's arrays."""
    return [value.copy() if isinstance(value, np.ndarray) else value for _, _, value in FUNCTIONS[name]]
