"""The ball mesher of the zandrel package: orientation, conformity, volume
convergence, boundary on the sphere, element quality, symmetry."""
import math
from collections import Counter

import numpy as np
import pytest

import _zandrel
from zandrel.mesh import signed_volumes
from zandrel.meshers import divisions_for, sphere_mesh
from mesh_helpers import faces_of, radius_ratio

DIVISIONS = [1, 2, 3, 4, 5, 6, 7, 8, 11, 16]


@pytest.mark.parametrize("divisions", DIVISIONS)
def test_arrays_ready_for_the_extension(divisions):
    nodes, conn = sphere_mesh(1.0, divisions)
    assert nodes.dtype == np.float64 and conn.dtype == np.uint32
    assert nodes.flags.c_contiguous and conn.flags.c_contiguous
    assert nodes.shape == ((divisions + 1) ** 3, 3)
    assert conn.shape == (6 * divisions**3, 4)
    assert conn.max() < len(nodes)
    # Every node is used.
    assert len(np.unique(conn)) == len(nodes)


@pytest.mark.parametrize("jitter", [0.0, 0.05, 0.2])
@pytest.mark.parametrize("divisions", DIVISIONS)
def test_every_element_positively_oriented(divisions, jitter):
    nodes, conn = sphere_mesh(1.0, divisions, jitter=jitter, seed=divisions)
    vol = signed_volumes(nodes, conn)
    assert vol.min() > 0.0
    # The extension's unsigned volumes agree with the signed ones.
    np.testing.assert_allclose(_zandrel.mesh_volumes(nodes, conn), vol, rtol=1e-12, atol=0.0)


@pytest.mark.parametrize("divisions", DIVISIONS)
def test_conforming_with_boundary_on_the_sphere(divisions):
    radius = 1.7
    nodes, conn = sphere_mesh(radius, divisions)
    counts = faces_of(conn)
    # A conforming mesh: every face is shared by two elements or lies on the boundary.
    assert set(counts.values()) <= {1, 2}
    boundary = np.array([face for face, n in counts.items() if n == 1])
    on_sphere = np.unique(boundary)
    np.testing.assert_allclose(np.linalg.norm(nodes[on_sphere], axis=1), radius, rtol=1e-14)
    inside = np.setdiff1d(np.arange(len(nodes)), on_sphere)
    assert np.all(np.linalg.norm(nodes[inside], axis=1) < radius * (1.0 - 1e-9))
    # The boundary is closed: every boundary edge belongs to exactly two boundary faces.
    edges = Counter(tuple(sorted(e)) for f in boundary.tolist() for e in ((f[0], f[1]), (f[1], f[2]), (f[0], f[2])))
    assert set(edges.values()) == {2}
    # Euler characteristic of a sphere surface.
    assert len(on_sphere) - len(edges) + len(boundary) == 2


@pytest.mark.parametrize("divisions", DIVISIONS)
def test_no_element_has_all_nodes_on_the_sphere(divisions):
    if divisions == 1:
        pytest.skip("a single cell has no interior node")
    nodes, conn = sphere_mesh(1.0, divisions)
    on_sphere = np.isclose(np.linalg.norm(nodes, axis=1), 1.0, rtol=1e-13)
    assert not np.any(on_sphere[conn].all(axis=1))


def test_volume_and_area_approach_the_ball_from_below():
    exact = 4.0 / 3.0 * math.pi
    deficits = []
    for divisions in [2, 4, 8, 16, 32]:
        nodes, conn = sphere_mesh(1.0, divisions)
        deficits.append(1.0 - signed_volumes(nodes, conn).sum() / exact)
    deficits = np.array(deficits)
    # An inscribed polyhedron: always below, the deficit shrinks about
    # fourfold per halving of the element size (second order).
    assert np.all(deficits > 0.0)
    ratios = deficits[:-1] / deficits[1:]
    assert np.all(ratios > 3.0), ratios
    assert deficits[-1] < 2e-3


@pytest.mark.parametrize("divisions", [3, 4, 7, 8, 16, 24])
def test_element_quality_bounded(divisions):
    nodes, conn = sphere_mesh(1.0, divisions)
    ratio = radius_ratio(nodes, conn)
    assert ratio.min() > 0.6
    assert ratio.mean() > 0.75


@pytest.mark.parametrize("divisions", [4, 6, 10])
def test_mirror_symmetric_for_even_divisions(divisions):
    nodes, conn = sphere_mesh(1.0, divisions)
    as_set = lambda pts: set(map(tuple, (np.round(pts, 10) + 0.0).tolist()))
    centroids = nodes[conn].mean(axis=1)
    for axis in range(3):
        flip = np.ones(3)
        flip[axis] = -1.0
        # Nodes map onto nodes and elements onto elements (the same centroids).
        assert as_set(nodes * flip) == as_set(nodes)
        assert as_set(centroids * flip) == as_set(centroids)


def test_radius_and_centre():
    unit_nodes, unit_conn = sphere_mesh(1.0, 5)
    nodes, conn = sphere_mesh(2.5, 5, center=(1.0, -2.0, 0.5))
    np.testing.assert_array_equal(conn, unit_conn)
    np.testing.assert_allclose(nodes, unit_nodes * 2.5 + [1.0, -2.0, 0.5], rtol=0, atol=1e-14)


@pytest.mark.parametrize("divisions", [4, 5, 8])
def test_jitter_moves_interior_nodes_only(divisions):
    exact, conn = sphere_mesh(1.0, divisions, jitter=0.0)
    moved, conn2 = sphere_mesh(1.0, divisions, jitter=0.1, seed=3)
    np.testing.assert_array_equal(conn, conn2)
    on_sphere = np.isclose(np.linalg.norm(exact, axis=1), 1.0, rtol=1e-13)
    np.testing.assert_array_equal(moved[on_sphere], exact[on_sphere])
    shift = np.linalg.norm(moved - exact, axis=1)[~on_sphere]
    # Every interior node moves, except the centre node of an even lattice.
    assert np.count_nonzero(shift) >= len(shift) - 1
    # The boundary polyhedron, and so the total volume, does not change.
    assert signed_volumes(moved, conn).sum() == pytest.approx(signed_volumes(exact, conn).sum(), rel=1e-12)
    # Reproducible from the seed, different for another seed.
    np.testing.assert_array_equal(moved, sphere_mesh(1.0, divisions, jitter=0.1, seed=3).nodes)
    assert not np.array_equal(moved, sphere_mesh(1.0, divisions, jitter=0.1, seed=4).nodes)


def test_exact_lattice_inner_cube():
    # Without jitter the inner cube is the straight lattice: its nodes sit on the grid.
    nodes, _ = sphere_mesh(1.0, 10, jitter=0.0)
    inner = np.abs(nodes).max(axis=1) <= 0.2 + 1e-12
    assert np.count_nonzero(inner) == 3**3
    np.testing.assert_allclose(nodes[inner] * 5.0, np.round(nodes[inner] * 5.0), atol=1e-12)


@pytest.mark.parametrize("divisions", [3, 4, 5, 6] + [pytest.param(d, marks=pytest.mark.slow) for d in (7, 8)])
def test_face_and_edge_kernels_agree_at_the_centroids(divisions):
    # Centroids of the jittered mesh are clear of the other elements' edge
    # lines and face planes, so both closed forms of the uniformly
    # magnetised tetrahedron give the same demagnetising field there.
    nodes, conn = sphere_mesh(1.0, divisions)
    centroids = _zandrel.mesh_centroids(nodes, conn)
    m = np.tile([0.2, -0.3, 1.0], (len(conn), 1))
    face = _zandrel.h_mag_tet4(nodes, conn, m, centroids, 0.0, 0, 0, False, False)
    edge = _zandrel.h_mag_tet4(nodes, conn, m, centroids, 0.0, 0, 0, False, True)
    assert np.abs(face - edge).max() < 1e-4


@pytest.mark.parametrize("elements", [1, 48, 400, 2000, 10000, 50000])
def test_divisions_for_element_count(elements):
    n = divisions_for(elements)
    assert n >= 2
    if elements >= 48:
        assert abs(6 * n**3 - elements) <= max(6 * ((n + 1) ** 3 - n**3), 1)


@pytest.mark.parametrize("divisions, radius, jitter", [(0, 1.0, 0.0), (3, 0.0, 0.0), (3, -1.0, 0.0), (3, 1.0, -0.1),
                                                       (3, 1.0, 0.3), (3, 1.0, float("nan"))])
def test_bad_parameters(divisions, radius, jitter):
    with pytest.raises(ValueError):
        sphere_mesh(radius, divisions, jitter=jitter)
