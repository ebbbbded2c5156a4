"""Boundary extraction, face properties and surface tetrahedra through the
Python API: geometry against closed shapes, the deterministic row order,
worked values to the bit, and every failure with its exact message."""
import sys

import numpy as np
import pytest

import _zandrel
from mesh_helpers import ball_mesh, box_mesh

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
LOCAL_FACES = [(0, 3, 2), (0, 2, 1), (0, 1, 3), (1, 2, 3)]


def u32(rows):
    return np.array(rows, dtype=np.uint32).reshape(-1, 4) if len(rows) else np.zeros((0, 4), np.uint32)


def bounds(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


def reference_surface(conn):
    """Odd faces by sorted key; each at its last occurrence, in occurrence order."""
    flat = conn.ravel()
    seen = {}
    for e in range(flat.size // 4):
        t = flat[4 * e:4 * e + 4]
        for f, corners in enumerate(LOCAL_FACES):
            face = tuple(int(t[c]) for c in corners)
            count, _, _ = seen.get(tuple(sorted(face)), (0, 0, None))
            seen[tuple(sorted(face))] = (count + 1, 4 * e + f, face)
    kept = sorted((pos, face) for count, pos, face in seen.values() if count % 2)
    return np.array([face for _, face in kept], dtype=np.uint32).reshape(-1, 3)


# ---------------------------------------------------------------- mesh_surface_faces


def test_single_tetrahedron_gives_its_four_faces_in_element_order():
    faces = _zandrel.mesh_surface_faces(u32([0, 1, 2, 3]))
    assert faces.dtype == np.uint32 and faces.shape == (4, 3) and faces.flags.c_contiguous
    assert faces.tolist() == [[0, 3, 2], [0, 2, 1], [0, 1, 3], [1, 2, 3]]


@pytest.mark.parametrize("second", [[1, 2, 3, 4], [3, 2, 1, 4], [4, 3, 1, 2], [2, 4, 3, 1]])
def test_shared_face_is_removed_whatever_the_vertex_orders(second):
    conn = u32([0, 1, 2, 3] + second)
    faces = _zandrel.mesh_surface_faces(conn)
    assert faces.shape == (6, 3)
    keys = {tuple(sorted(f)) for f in faces.tolist()}
    assert (1, 2, 3) not in keys and len(keys) == 6
    np.testing.assert_array_equal(faces, reference_surface(conn))


@pytest.mark.parametrize("conn", [u32([0, 1, 2, 3, 0, 1, 2, 3]), u32([0, 1, 2, 3, 2, 3, 0, 1]), u32([])],
                         ids=["twice", "twice-reordered", "empty"])
def test_no_boundary_gives_an_empty_uint32_array(conn):
    faces = _zandrel.mesh_surface_faces(conn)
    assert faces.shape == (0, 3) and faces.dtype == np.uint32


def test_width_six_is_read_as_flat_groups_of_four():
    conn = np.array([[0, 1, 2, 3, 4, 5], [6, 7, 8, 9, 10, 11]], dtype=np.uint32)
    expect = _zandrel.mesh_surface_faces(u32(list(range(12))))
    np.testing.assert_array_equal(_zandrel.mesh_surface_faces(conn), expect)
    assert expect.shape == (12, 3)


def test_fifth_index_is_ignored():
    conn = np.array([[0, 1, 2, 3, 99]], dtype=np.uint32)
    np.testing.assert_array_equal(_zandrel.mesh_surface_faces(conn), _zandrel.mesh_surface_faces(u32([0, 1, 2, 3])))


def test_unit_cube_boundary_is_twelve_outward_triangles_of_total_area_six():
    nodes, conn = box_mesh(1)
    assert conn.shape == (6, 4)
    faces = _zandrel.mesh_surface_faces(conn)
    assert faces.shape == (12, 3)
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(nodes, faces)
    np.testing.assert_array_equal(areas, 0.5)
    assert areas.sum() == 6.0
    # Each triangle lies in one side of the cube; its normal is that side's
    # outward axis; every side carries two triangles.
    sides = []
    for tri, n in zip(faces, normals):
        axis = int(np.argmax(np.abs(n)))
        value = nodes[tri, axis]
        assert np.all(value == value[0]) and value[0] in (0.0, 1.0)
        outward = np.zeros(3)
        outward[axis] = 1.0 if value[0] == 1.0 else -1.0
        np.testing.assert_allclose(n, outward, atol=1e-15)
        sides.append((axis, outward[axis]))
    assert sorted(sides) == sorted([(a, s) for a in range(3) for s in (-1.0, 1.0)] * 2)


@pytest.mark.parametrize("n", [2, 5])
def test_box_boundary_triangle_count_area_and_outward_normals(n):
    nodes, conn = box_mesh(n, (-1.0, 0.0, 2.0), (1.0, 3.0, 2.5))
    faces = _zandrel.mesh_surface_faces(conn)
    assert faces.shape == (12 * n * n, 3)
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(nodes, faces)
    assert areas.sum() == pytest.approx(2 * (2 * 3 + 2 * 0.5 + 3 * 0.5), rel=1e-13)
    centre = np.array([0.0, 1.5, 2.25])
    assert np.all(np.einsum("ij,ij->i", centroids - centre, normals) > 0)
    # Every boundary node lies on the box surface.
    pts = nodes[faces.ravel()]
    on_surface = np.isclose(pts, [-1.0, 0.0, 2.0]) | np.isclose(pts, [1.0, 3.0, 2.5])
    assert np.all(on_surface.any(axis=1))


@pytest.mark.parametrize("n, rtol", [(4, 0.02), (8, 0.005)])
def test_sphere_boundary_normals_point_outward_and_area_tends_to_four_pi_r2(n, rtol):
    radius, centre = 1.7, np.array([0.3, -2.0, 5.0])
    nodes, conn = ball_mesh(n, radius, centre)
    faces = _zandrel.mesh_surface_faces(conn)
    assert faces.shape == (6 * 2 * (2 * n) ** 2, 3)
    assert np.allclose(np.linalg.norm(nodes[faces.ravel()] - centre, axis=1), radius)
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(nodes, faces)
    radial = (centroids - centre) / np.linalg.norm(centroids - centre, axis=1)[:, None]
    cosines = np.einsum("ij,ij->i", radial, normals)
    assert cosines.min() > 0.9
    # An inscribed polyhedron: its area approaches 4 pi r^2 from below.
    sphere = 4 * np.pi * radius**2
    assert areas.sum() < sphere
    assert areas.sum() == pytest.approx(sphere, rel=rtol)
    # The closed surface encloses no net vector area.
    assert np.abs((areas[:, None] * normals).sum(axis=0)).max() < 1e-12 * sphere


def test_row_order_follows_the_element_list_and_is_stable(rng):
    nodes, conn = box_mesh(4)
    conn = np.ascontiguousarray(conn[rng.permutation(len(conn))])
    first = _zandrel.mesh_surface_faces(conn)
    np.testing.assert_array_equal(first, reference_surface(conn))
    for _ in range(3):
        np.testing.assert_array_equal(_zandrel.mesh_surface_faces(conn.copy()), first)


def test_random_connectivity_with_repeated_faces_matches_reference(rng):
    conn = rng.integers(0, 9, size=(400, 4)).astype(np.uint32)
    faces = _zandrel.mesh_surface_faces(conn)
    np.testing.assert_array_equal(faces, reference_surface(conn))
    assert 0 < len(faces)


def test_face_seen_three_times_keeps_its_third_occurrence():
    conn = u32([0, 1, 2, 3, 0, 2, 1, 4, 1, 0, 2, 5])
    faces = _zandrel.mesh_surface_faces(conn).tolist()
    keyed = [f for f in faces if sorted(f) == [0, 1, 2]]
    assert keyed == [[1, 2, 0]]
    # At the place of element 2's second face, after element 1's three faces.
    assert faces.index([1, 2, 0]) == 7


def test_surface_faces_argument_errors():
    with pytest.raises(TypeError, match="^argument 'connectivity': "):
        _zandrel.mesh_surface_faces(np.zeros((1, 4), dtype=np.int64))
    with pytest.raises(TypeError, match="^argument 'connectivity': "):
        _zandrel.mesh_surface_faces(np.zeros(4, dtype=np.uint32))
    with pytest.raises(TypeError, match="^argument 'connectivity': "):
        _zandrel.mesh_surface_faces([[0, 1, 2, 3]])
    fortran = np.asfortranarray(u32([0, 1, 2, 3, 4, 5, 6, 7]))
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_faces(fortran)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_faces(u32(list(range(16)))[::2])


# -------------------------------------------------------- mesh_surface_face_properties

UNIT_FACE_NODES = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]])
ONE_FACE = np.array([[0, 1, 2]], dtype=np.uint32)


def test_unit_triangle_properties_to_the_bit():
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, ONE_FACE)
    assert areas.shape == (1,) and centroids.shape == (1, 3) and normals.shape == (1, 3)
    assert all(a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable
               for a in (areas, centroids, normals))
    assert areas.tolist() == [0.5]
    assert centroids.tolist() == [[0.3333333333333333, 0.3333333333333333, 0.0]]
    assert normals.tolist() == [[0.0, 0.0, 1.0]]


def test_collinear_corners_give_zero_area_and_nan_normal():
    nodes = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [2.0, 0.0, 0.0]])
    areas, _, normals = _zandrel.mesh_surface_face_properties(nodes, ONE_FACE)
    assert areas.tolist() == [0.0]
    assert np.isnan(normals).all()


def test_properties_of_random_triangles_against_numpy(rng):
    nodes = rng.standard_normal((30, 3))
    faces = rng.integers(0, 30, size=(50, 3)).astype(np.uint32)
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(nodes, faces)
    p = nodes[faces.astype(np.int64)]
    cross = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
    length = np.linalg.norm(cross, axis=1)
    ok = length > 1e-9
    np.testing.assert_allclose(areas, 0.5 * length, rtol=1e-13, atol=1e-15)
    np.testing.assert_allclose(centroids, p.mean(axis=1), rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(normals[ok], cross[ok] / length[ok, None], rtol=1e-12, atol=1e-13)


def test_nodes_are_read_flat_whatever_their_width():
    nodes = np.arange(7.0).reshape(7, 1)
    areas, centroids, _ = _zandrel.mesh_surface_face_properties(nodes, np.array([[0, 1, 0]], dtype=np.uint32))
    np.testing.assert_allclose(centroids, [[1.0, 2.0, 3.0]])
    assert areas.tolist() == [0.0]
    with pytest.raises(_zandrel.PanicException) as err:
        _zandrel.mesh_surface_face_properties(nodes, ONE_FACE)
    assert err.value.args == (bounds(7, 7),)


def test_node_index_out_of_range_is_reported_as_a_flat_position():
    faces = np.array([[0, 1, 2], [2, 3, 1]], dtype=np.uint32)
    with pytest.raises(_zandrel.PanicException) as err:
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, faces)
    assert err.value.args == (bounds(9, 9),)


@pytest.mark.parametrize("shape", [(3, 4), (4, 2), (2, 5)])
def test_faces_without_three_columns_fail_in_the_reshape(shape):
    faces = np.zeros(shape, dtype=np.uint32)
    with pytest.raises(ValueError):
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, faces)


def test_faces_with_bad_index_and_bad_width_report_the_index_first():
    with pytest.raises(_zandrel.PanicException) as err:
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, np.full((3, 4), 7, dtype=np.uint32))
    assert err.value.args == (bounds(9, 21),)


def test_empty_faces_and_nodes():
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(np.zeros((0, 3)), np.zeros((0, 3), np.uint32))
    assert areas.shape == (0,) and centroids.shape == (0, 3) and normals.shape == (0, 3)


def test_face_properties_argument_errors_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'nodes': "):
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES.astype(np.float32), ONE_FACE.astype(np.int32))
    with pytest.raises(TypeError, match="^argument 'faces': "):
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, ONE_FACE.astype(np.int32))
    with pytest.raises(TypeError, match="^argument 'faces': "):
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, ONE_FACE.ravel())
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_face_properties(np.asfortranarray(UNIT_FACE_NODES), ONE_FACE)
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel.mesh_surface_face_properties(UNIT_FACE_NODES, np.asfortranarray(np.array([[0, 1, 2], [1, 2, 0]],
                                                                                           dtype=np.uint32)))


# ------------------------------------------------------------------- _mesh_surface_tets

CENTROID = np.array([0.3333333333333333, 0.3333333333333333, 0.0])
NORMAL = np.array([0.0, 0.0, 1.0])


def test_surface_tets_worked_example_to_the_bit():
    nodes, conn = _zandrel._mesh_surface_tets(UNIT_FACE_NODES.ravel(), ONE_FACE.ravel(), CENTROID, NORMAL)
    assert nodes.dtype == np.float64 and conn.dtype == np.uint32
    assert conn.tolist() == [0, 1, 2, 3]
    assert nodes.tolist() == [
        0.32999999999999996, 0.32999999999999996, 0.0033333333333333327,
        0.33666666666666667, 0.33666666666666667, 0.0033333333333333327,
        0.33666666666666667, 0.32999999999999996, -0.0033333333333333327,
        0.32999999999999996, 0.33666666666666667, -0.0033333333333333327]


def test_surface_tets_of_a_sphere_are_small_regular_and_straddle_each_face():
    nodes, conn = ball_mesh(2)
    faces = _zandrel.mesh_surface_faces(conn)
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(nodes, faces)
    new_nodes, new_conn = _zandrel._mesh_surface_tets(nodes.ravel(), faces.ravel(), centroids.ravel(), normals.ravel())
    k = len(faces)
    assert new_nodes.shape == (12 * k,) and new_conn.tolist() == list(range(4 * k))
    pts = new_nodes.reshape(k, 4, 3)
    h = 0.01 * np.linalg.norm(nodes[faces[:, 0]] - centroids, axis=1)
    i, j = np.triu_indices(4, 1)
    edges = np.linalg.norm(pts[:, i] - pts[:, j], axis=2)
    np.testing.assert_allclose(edges, np.repeat(2 * h[:, None], 6, axis=1), rtol=1e-12)
    np.testing.assert_allclose(pts.mean(axis=1), centroids, atol=1e-14)
    side = np.einsum("kij,kj->ki", pts - centroids[:, None, :], normals)
    assert np.all(side[:, :2] > 0) and np.all(side[:, 2:] < 0)
    vols = _zandrel.mesh_volumes(new_nodes.reshape(-1, 3), new_conn.reshape(-1, 4))
    np.testing.assert_allclose(vols, 4 / 3 * 0.7071067811865475 * h**3, rtol=1e-11)


def test_surface_tets_corner_on_centroid_gives_nan_and_indices_run_on():
    nodes = np.array([0.5, 0.5, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0])
    faces = np.array([0, 1, 2, 1, 2, 0], dtype=np.uint32)
    centroids = np.array([0.5, 0.5, 0.0, 0.5, 0.5, 0.0])
    new_nodes, conn = _zandrel._mesh_surface_tets(nodes, faces, centroids, np.tile(NORMAL, 2))
    assert np.isnan(new_nodes[:12]).all() and np.isfinite(new_nodes[12:]).all()
    assert conn.tolist() == [0, 1, 2, 3, 4, 5, 6, 7]


def test_surface_tets_failures():
    nodes, faces = UNIT_FACE_NODES.ravel(), np.array([0, 1, 2, 2, 1, 0], dtype=np.uint32)
    with pytest.raises(_zandrel.PanicException) as err:
        _zandrel._mesh_surface_tets(nodes, faces, np.r_[CENTROID, 1.0], np.tile(NORMAL, 2))
    assert err.value.args == (bounds(4, 4),)
    with pytest.raises(_zandrel.PanicException) as err:
        _zandrel._mesh_surface_tets(nodes, faces, np.tile(CENTROID, 2), NORMAL)
    assert err.value.args == (bounds(3, 3),)
    with pytest.raises(_zandrel.PanicException) as err:
        _zandrel._mesh_surface_tets(nodes, np.array([3, 0, 0], np.uint32), CENTROID, NORMAL)
    assert err.value.args == (bounds(9, 9),)
    with pytest.raises(TypeError, match="^argument 'nodes': "):
        _zandrel._mesh_surface_tets(UNIT_FACE_NODES, ONE_FACE.ravel(), CENTROID, NORMAL)
    with pytest.raises(TypeError, match="^argument 'normals': "):
        _zandrel._mesh_surface_tets(nodes, ONE_FACE.ravel(), CENTROID, NORMAL.astype(np.float32))
    with pytest.raises(TypeError, match=f"^{NOT_CONTIGUOUS}$"):
        _zandrel._mesh_surface_tets(nodes, ONE_FACE.ravel(), np.tile(CENTROID, 2)[::2], NORMAL)


def test_surface_tets_empty():
    nodes, conn = _zandrel._mesh_surface_tets(np.zeros(0), np.zeros(0, np.uint32), np.zeros(0), np.zeros(0))
    assert nodes.shape == (0,) and conn.shape == (0,) and conn.dtype == np.uint32


# -------------------------------------------------------------------------- references


def test_inputs_keep_their_reference_counts_on_success_and_failure():
    nodes, conn = box_mesh(2)
    before = [sys.getrefcount(a) for a in (nodes, conn)]
    faces = _zandrel.mesh_surface_faces(conn)
    _zandrel.mesh_surface_face_properties(nodes, faces)
    with pytest.raises(_zandrel.PanicException):
        _zandrel.mesh_surface_face_properties(nodes[:2].copy(), faces)
    with pytest.raises(ValueError):
        _zandrel.mesh_surface_face_properties(nodes, conn)
    assert [sys.getrefcount(a) for a in (nodes, conn)] == before
    assert sys.getrefcount(faces) == 2
