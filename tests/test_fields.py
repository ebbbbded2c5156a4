"""The keyword API over the native field functions: the same bits as
_zandrel, conversions, B from H, and bad input named before the native call."""
import numpy as np
import pytest

import _zandrel
import zandrel
from zandrel.constants import MU0


@pytest.fixture(scope="module")
def ball():
    return zandrel.sphere_mesh(0.01, 4)


def sources(kind, mesh, rng):
    """Source arrays whose positions are float32 numbers (so that a float32
    copy converts back to the same float64 values)."""
    vectors = rng.normal(size=(mesh.n_elements, 3)) * 1e5
    if kind == "tet4":
        return mesh.nodes.astype(np.float32).astype(np.float64), mesh.elements, vectors
    return mesh.centroids.astype(np.float32).astype(np.float64), mesh.volumes, vectors


# name -> (source kind, native call from (sources, targets, theta, leaf, threads, octree, edge))
NATIVE = {
    "h_mag_tet4": ("tet4", lambda s, t, th, lf, n, o, e: _zandrel.h_mag_tet4(*s, t, th, lf, n, o, e)),
    "h_mag_point": ("point", lambda s, t, th, lf, n, o, e: _zandrel.h_mag_point(*s, t, th, lf, n, o)),
    "h_current_tet4": ("tet4", lambda s, t, th, lf, n, o, e: _zandrel.h_current_tet4_octree(*s, t, th, lf, n) if o
                       else _zandrel.h_current_tet4_direct(*s, t, n, e)),
    "h_current_point": ("point", lambda s, t, th, lf, n, o, e: _zandrel.h_current_point_octree(*s, t, th, lf, n)
                        if o else _zandrel.h_current_point_direct(*s, t, n)),
}


@pytest.mark.parametrize("name, octree, edge", [(name, octree, edge) for name in NATIVE
                                                 for octree, edge in [(False, False), (False, True), (True, False)]
                                                 if not (edge and NATIVE[name][0] == "point")])
def test_same_bits_as_the_native_functions(ball, rng, name, octree, edge):
    kind, native = NATIVE[name]
    s = sources(kind, ball, rng)
    targets = rng.uniform(-0.02, 0.02, size=(37, 3))
    expected = native(s, targets, 0.4, 3, 1, octree, edge)
    options = dict(use_octree=octree, theta=0.4, leaf_threshold=3, threads=1)
    if kind == "tet4":
        options["edge"] = edge
    wrapper = getattr(zandrel, name)
    np.testing.assert_array_equal(wrapper(*s, targets, **options), expected)
    # Conversions: int64 indices, float32 and Fortran-ordered arrays, lists,
    # a single target, any leading shape; B = mu0 H outside every source.
    loose = [s[0].astype(np.float32), s[1].astype(np.int64) if kind == "tet4" else list(s[1]),
             np.asfortranarray(s[2])]
    np.testing.assert_array_equal(wrapper(*loose, np.asfortranarray(targets), **options), expected)
    np.testing.assert_array_equal(wrapper(*s, targets[5], **options), expected[5])
    np.testing.assert_array_equal(wrapper(*s, targets[:36].reshape(4, 9, 3), **options), expected[:36].reshape(4, 9, 3))
    outside = targets[np.linalg.norm(targets, axis=1) > 0.0101]
    b = getattr(zandrel, "b" + name[1:])(*s, outside, **options)
    np.testing.assert_array_equal(b, MU0 * native(s, outside, 0.4, 3, 1, octree, edge))


def test_b_inside_a_uniformly_magnetised_ball():
    # Inside a uniformly magnetised sphere H = -M/3, B = 2/3 mu0 M; the mesh
    # is a polyhedron close to the sphere.
    mesh = zandrel.sphere_mesh(0.01, 8)
    m = np.array([0.0, 0.0, 8e5])
    inside = np.array([[0.0011, 0.0023, -0.0017], [-0.0021, 0.0012, 0.0013], [0.0004, -0.0031, 0.0026]])
    b = zandrel.b_mag_tet4(*mesh, m, inside)
    np.testing.assert_allclose(b, np.tile(2.0 / 3.0 * MU0 * m, (3, 1)), atol=2e-3 * MU0 * 8e5)
    # A single point dipole: inside its sphere B = mu0 (-M/3 + M) exactly.
    bp = zandrel.b_mag_point([0.0, 0.0, 0.0], 1e-6, m, [[1e-4, 0.0, 0.0], [0.0, 0.0, 0.0]])
    np.testing.assert_allclose(bp, np.tile(2.0 / 3.0 * MU0 * m, (2, 1)), rtol=1e-15)


def test_normal_b_is_continuous_across_a_magnet_face():
    # Across the top face z = 0.005 of a magnetised box, H_z jumps by M_z
    # while B_z = mu0 (H_z + M_z) is continuous: the M added inside is the
    # one that belongs there.
    mesh = zandrel.box_mesh(0.01, 4)
    m = np.array([1e5, -2e5, 8e5])
    xy = np.array([[0.0013, -0.0021], [-0.0031, 0.0007]])
    below = np.column_stack([xy, np.full(2, 0.005 - 1e-9)])
    above = np.column_stack([xy, np.full(2, 0.005 + 1e-9)])
    h_jump = zandrel.h_mag_tet4(*mesh, m, above) - zandrel.h_mag_tet4(*mesh, m, below)
    np.testing.assert_allclose(h_jump[:, 2], m[2], rtol=1e-4)
    b_below, b_above = zandrel.b_mag_tet4(*mesh, m, below), zandrel.b_mag_tet4(*mesh, m, above)
    np.testing.assert_allclose(b_above[:, 2], b_below[:, 2], rtol=1e-4)
    # Tangential H is continuous, so tangential B jumps by mu0 M_t.
    np.testing.assert_allclose(b_below[:, :2] - b_above[:, :2], MU0 * np.tile(m[:2], (2, 1)), rtol=1e-4)


def test_octree_corner_cases_are_python_errors(capfd):
    empty = zandrel.h_mag_point(np.zeros((0, 3)), np.zeros(0), np.zeros((0, 3)), np.ones((2, 3)), use_octree=True)
    np.testing.assert_array_equal(empty, np.zeros((2, 3)))
    same = np.zeros((5, 3))
    with pytest.raises(ValueError, match="leaf_threshold=4 sources share one position"):
        zandrel.h_current_point(same, np.ones(5), np.ones((5, 3)), np.ones((1, 3)), use_octree=True, leaf_threshold=4)
    capfd.readouterr()  # the octree's own depth line on standard error


@pytest.mark.parametrize("name, value, error, match", [
    ("nodes", lambda a: np.zeros((3, 4)), ValueError, r"nodes must have shape \(N, 3\), got \(3, 4\)"),
    ("connectivity", lambda a: a.T, ValueError, r"it looks transposed: pass connectivity\.T"),
    ("connectivity", lambda a: a + 7, ValueError, r"connectivity: element \d+ refers to node \d+, outside 0"),
    ("connectivity", lambda a: a.astype(float), TypeError, r"connectivity must be an integer array"),
    ("mvectors", lambda a: np.zeros((2, 3)), ValueError, r"mvectors must have shape \(\d+, 3\) or \(3,\)"),
    ("mvectors", lambda a: [np.nan, 0.0, 1.0], ValueError, "mvectors must be finite"),
    ("targets", lambda a: np.zeros((3, 5)), ValueError, r"it looks transposed: pass targets\.T"),
    ("targets", lambda a: [0.0, np.inf, 0.0], ValueError, "targets must be finite"),
    ("theta", lambda a: -0.1, ValueError, "theta must be non-negative"),
    ("leaf_threshold", lambda a: 0, ValueError, "leaf_threshold must be at least 1"),
    ("threads", lambda a: -1, ValueError, "threads must be at least 0"),
    ("use_octree", lambda a: "yes", TypeError, "use_octree must be True or False"),
    ("edge", lambda a: 2, TypeError, "edge must be True or False"),
])
def test_bad_input_names_the_argument(ball, name, value, error, match):
    args = dict(nodes=ball.nodes, connectivity=ball.elements, mvectors=[0.0, 0.0, 1.0], targets=np.ones((2, 3)))
    args[name] = value(args.get(name))
    with pytest.raises(error, match=match):
        zandrel.b_mag_tet4(**args)


@pytest.mark.parametrize("call, match", [
    (lambda: zandrel.h_mag_point(np.zeros((2, 3)), [1.0, -1.0], [0, 0, 1.0], [1.0, 0, 0]), r"volumes must be finite and >= 0"),
    (lambda: zandrel.h_mag_point(np.zeros((2, 3)), np.ones(3), [0, 0, 1.0], [1.0, 0, 0]), r"volumes must have shape \(2,\)"),
    (lambda: zandrel.h_current_point(np.zeros((2, 2)), 1.0, [0, 0, 1.0], [1.0, 0, 0]), r"src_pts must have shape \(N, 3\)"),
    (lambda: zandrel.h_current_tet4(np.zeros((4, 3)), [[0, 1, 2, 3]], np.ones((2, 3)), [1.0, 0, 0]),
     r"jdensity must have shape \(1, 3\)"),
])
def test_bad_point_and_current_sources(call, match):
    with pytest.raises(ValueError, match=match):
        call()


def test_relaxed_solver_wrapper(caplog):
    mesh = zandrel.sphere_mesh(1.0, 3)
    hext = np.tile([0.0, 0.0, 1e3], (mesh.n_elements, 1))
    with caplog.at_level("DEBUG", logger="zandrel"):
        m, h = zandrel.magnetization_tet4(mesh.nodes, mesh.elements.astype(np.int64), 2.0, [0.0, 0.0, 1e3])
    expected = _zandrel.magnetization_tet4(mesh.nodes, mesh.elements, 2.0, hext, 2e-3, 1000, 0.5, 0, 0.5, 0, False)
    np.testing.assert_array_equal(m, expected[0])
    np.testing.assert_array_equal(h, expected[1])
    assert "Iteration: 0; max change" in caplog.text and "iterations, last change" in caplog.text
    with pytest.warns(RuntimeWarning, match="iteration limit"):
        zandrel.magnetization_tet4(*mesh, 2.0, hext, max_iterations=2)
    with pytest.raises(ValueError, match="chi must be finite and greater than -1"):
        zandrel.magnetization_tet4(*mesh, -1.5, hext)
    with pytest.raises(ValueError, match=r"hext must have shape \(%d, 3\)" % mesh.n_elements):
        zandrel.magnetization_tet4(*mesh, 2.0, hext[1:])
