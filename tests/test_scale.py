"""Results at every length scale. H of magnetised tetrahedra depends on their
shape only, H of current-carrying ones grows with their length, and the
areas, centroids and normals of faces scale with them: a user meshing a
micrometre particle in metres gets the results of a unit one. Scaling by a
power of two is exact in floating point, so the results must be exact too."""
import numpy as np
import pytest

import _zandrel
from zandrel import captured_fd1, sphere_mesh

UNIT_TET = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
ONE = np.array([[0, 1, 2, 3]], dtype=np.uint32)
VECTOR = np.array([[0.3, -0.2, 1.0]])
FACES = np.array([[0, 2, 1], [0, 3, 2], [1, 2, 3], [0, 1, 3]], dtype=np.uint32)


def unit_tet_targets():
    # Around and inside the element, and the awkward places: vertices, an edge
    # midpoint, face centroids, the extension of an edge, a face plane outside
    # the face.
    rng = np.random.default_rng(3)
    awkward = [[0, 0, 0], [1, 0, 0], [0.5, 0.5, 0], [1 / 3, 1 / 3, 1 / 3], [1 / 3, 1 / 3, 0], [2, 0, 0],
               [1.5, 1.5, 0], [0.25, 0.25, 0.25]]
    return np.vstack([awkward, rng.uniform(-1.0, 2.0, size=(60, 3))])


def tet_fields(nodes, targets):
    """H of the magnetised element (face, edge, octree) and of the
    current-carrying one (face, edge, octree)."""
    return [_zandrel.h_mag_tet4(nodes, ONE, VECTOR, targets, 0.0, 0, 0, False, False),
            _zandrel.h_mag_tet4(nodes, ONE, VECTOR, targets, 0.0, 0, 0, False, True),
            _zandrel.h_mag_tet4(nodes, ONE, VECTOR, targets, 0.5, 1, 0, True, False),
            _zandrel.h_current_tet4_direct(nodes, ONE, VECTOR, targets, 0, False),
            _zandrel.h_current_tet4_direct(nodes, ONE, VECTOR, targets, 0, True),
            _zandrel.h_current_tet4_octree(nodes, ONE, VECTOR, targets, 0.5, 1, 0)]


@pytest.mark.parametrize("k", range(-60, 61, 4))
def test_unit_tetrahedron_scaled_by_a_power_of_two(k):
    s = 2.0**k
    t = unit_tet_targets()
    unit = tet_fields(UNIT_TET, t)
    scaled = tet_fields(UNIT_TET * s, t * s)
    for kind, (a, b) in enumerate(zip(scaled, unit)):
        expected = b * s if kind >= 3 else b
        assert np.array_equal(a, expected), kind
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(UNIT_TET * s, FACES)
    unit_areas, unit_centroids, unit_normals = _zandrel.mesh_surface_face_properties(UNIT_TET, FACES)
    assert np.array_equal(areas, unit_areas * (s * s))
    assert np.array_equal(centroids, unit_centroids * s)
    assert np.array_equal(normals, unit_normals)


@pytest.mark.parametrize("scale", [1e-150, 1e-100, 1e100, 1e150])
def test_face_properties_far_beyond_squares_of_coordinates(scale):
    # The squared length of the normal is of order size^4: 1e-400 and 1e400.
    areas, centroids, normals = _zandrel.mesh_surface_face_properties(UNIT_TET * scale, FACES)
    unit_areas, _, unit_normals = _zandrel.mesh_surface_face_properties(UNIT_TET, FACES)
    np.testing.assert_allclose(areas, unit_areas * scale**2, rtol=1e-15)
    np.testing.assert_allclose(normals, unit_normals, rtol=0, atol=2e-16)


def test_micrometre_sphere_behaves_as_the_unit_sphere():
    # The demonstration's sphere, radius 1 um in metres: its magnetisation and
    # demagnetising field are those of the unit sphere (up to the rounding of
    # the scaled coordinates; the edge formulation of the octree's leaves has
    # an absolute error of about 1e-6 |M|, so rounding moves it by that much).
    chi, fields = 3.0, []
    for radius in (1.0, 1e-6):
        nodes, conn = sphere_mesh(radius, 4)
        hext = np.tile([0.0, 0.0, 1.0], (len(conn), 1))
        with captured_fd1():
            m, h = _zandrel.magnetization_tet4(nodes, conn, chi, hext, 1e-9, 200, 0.0, 0, 2 / (2 + chi), 0, False)
        centroids = _zandrel.mesh_centroids(nodes, conn)
        fields.append((m, _zandrel.h_mag_tet4(nodes, conn, m, centroids, 0.5, 4, 0, True, False)))
    (m1, tree1), (m2, tree2) = fields
    np.testing.assert_allclose(m2, m1, rtol=1e-12, atol=1e-12 * np.abs(m1).max())
    assert np.abs(tree2 - tree1).max() < 2e-5 * np.abs(tree1).max()
