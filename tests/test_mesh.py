"""zandrel.Mesh: what a user's mesh file can get wrong, and the operations
that build models from several bodies."""
import numpy as np
import pytest

import _zandrel
import zandrel
from mesh_helpers import box_mesh


@pytest.fixture
def cube():
    nodes, conn = box_mesh(3)
    return nodes, conn.astype(np.int64)  # as meshio returns it


def field_above(mesh):
    m = np.tile([0.0, 0.0, 1e6], (mesh.n_elements, 1))
    targets = np.array([[0.5, 0.5, 1.0025], [1.3, -0.2, 0.4]])
    return _zandrel.h_mag_tet4(mesh.nodes, mesh.elements, m, targets, 0.5, 0, 0, False, False)


def test_half_reversed_mesh_gives_the_field_of_the_correct_one(cube, caplog):
    nodes, conn = cube
    reversed_ = conn.copy()
    reversed_[::2, [1, 2]] = reversed_[::2, [2, 1]]
    with caplog.at_level("INFO", logger="zandrel"):
        repaired = zandrel.Mesh(nodes, reversed_)
    assert repaired.repaired == (len(conn) + 1) // 2
    assert "reversed" in caplog.text
    np.testing.assert_allclose(field_above(repaired), field_above(zandrel.Mesh(nodes, conn)), rtol=1e-13)
    assert np.all(zandrel.signed_volumes(repaired.nodes, repaired.elements) > 0)
    with pytest.raises(ValueError, match="negatively oriented"):
        zandrel.Mesh(nodes, reversed_, repair=False)


def _tangled(nodes, conn):
    # Element 0's far node pushed through its neighbour's face: positive
    # after repair, but the two overlap.
    nodes = nodes.copy()
    nodes = np.vstack([nodes, nodes[conn[0]].mean(axis=0) + [0.0, 0.0, 0.0]])
    conn = conn.copy()
    shared = set(conn[0]) & set(conn[1])
    apex = [v for v in conn[1] if v not in shared][0]
    conn[0][[list(conn[0]).index(v) for v in conn[0] if v not in shared][0]] = apex
    return nodes, conn


@pytest.mark.parametrize("make, error, match", [
    (lambda n, c: (n.T, c), ValueError, r"transposed: pass nodes\.T"),
    (lambda n, c: (n, c.T), ValueError, r"transposed: pass elements\.T"),
    (lambda n, c: (n, c[:, :3]), ValueError, "triangles"),
    (lambda n, c: (n, c + 1), ValueError, "0-based"),
    (lambda n, c: (n, c - 1), ValueError, "refers to node -1"),
    (lambda n, c: (n, c.astype(float)), TypeError, "astype"),
    (lambda n, c: (np.where(n == 1.0, np.nan, n), c), ValueError, "finite"),
    (lambda n, c: (n, np.vstack([c, [0, 1, 2, 2]])), ValueError, "elements 162 have zero volume"),
    (lambda n, c: _tangled(n, c), ValueError, "overlap their neighbours"),
])
def test_bad_meshes_are_refused_with_what_to_do(cube, make, error, match):
    with pytest.raises(error, match=match):
        zandrel.Mesh(*make(*cube))


def test_quadratic_tetrahedra_keep_their_corners(cube, caplog):
    nodes, conn = cube
    quadratic = np.hstack([conn, np.zeros((len(conn), 6), dtype=np.int64)])
    with caplog.at_level("INFO", logger="zandrel"):
        mesh = zandrel.Mesh(nodes, quadratic)
    np.testing.assert_array_equal(mesh.elements, conn)
    assert "corner" in caplog.text


def test_regions_merge_and_submesh(cube):
    nodes, conn = cube
    half = zandrel.signed_volumes(nodes, conn) > 0  # all True: a mask of every element
    magnet = zandrel.Mesh(nodes, conn, {"magnet": half})
    plate = zandrel.Mesh(nodes, conn, "iron").translated((0.0, 0.0, -1.5))
    other = zandrel.Mesh(nodes, conn, {"magnet": np.arange(5)}).translated((3.0, 0.0, 0.0))
    model = magnet.merge(plate, other)
    assert model.n_elements == 3 * len(conn) and model.n_nodes == 3 * len(nodes)
    assert len(model.region("magnet")) == len(conn) + 5 and len(model.region("iron")) == len(conn)
    np.testing.assert_allclose(model.volumes[model.region("magnet")].sum(), 1.0 + 5.0 / len(conn))
    iron = model.submesh("iron")
    np.testing.assert_allclose(iron.nodes.min(axis=0), [0.0, 0.0, -1.5])
    _, areas, centroids, normals = iron.boundary()
    assert areas.sum() == pytest.approx(6.0)
    # Outward normals: every face centroid moved along its normal leaves the cube.
    assert np.all(np.abs(centroids + 1e-3 * normals - [0.5, 0.5, -1.0]).max(axis=1) > 0.5)
    with pytest.raises(ValueError, match="both regions"):
        zandrel.Mesh(nodes, conn, {"a": [0, 1], "b": [1, 2]})
    with pytest.raises(KeyError, match="iron"):
        model.region("steel")


def test_rigid_motions_keep_volumes_and_orientation(cube):
    from scipy.spatial.transform import Rotation
    mesh = zandrel.Mesh(*cube)
    moved = mesh.rotated(Rotation.from_euler("xyz", [0.3, -1.1, 2.0]), about=(1, 2, 3)).scaled(1e-3)
    np.testing.assert_allclose(moved.volumes, mesh.volumes * 1e-9, rtol=1e-12)
    assert np.all(zandrel.signed_volumes(moved.nodes, moved.elements) > 0)
    with pytest.raises(ValueError, match="rotation"):
        mesh.rotated(np.diag([1.0, 1.0, -1.0]))
