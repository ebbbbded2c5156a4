"""Barnes-Hut octree evaluations against direct sums and independent NumPy
kernels: exactness at theta = 0, measured accuracy bounds at theta > 0,
thread-count independence and every failure with its exact message."""
import numpy as np
import pytest

import _zandrel
from mesh_helpers import box_mesh, kuhn_box_and_aligned_grid
from zandrel import sphere_mesh

PANIC = _zandrel.PanicException
INV_4PI = 0.07957747154594767
THREE_OVER_4PI = 0.238732414637843


# ---- independent NumPy kernels (the same physics, written out here) -----------

def equivalent_radius(v):
    return np.power(v * THREE_OVER_4PI, 0.3333333333333333)


def numpy_dipoles(c, v, m, t):
    """Point dipoles of moment V*M with the uniform field -M/3 inside the
    sphere of volume V (distance <= its radius)."""
    radius = equivalent_radius(v)
    moment = m * v[:, None]
    core = -moment / (3.0 * (4.0 / 3.0 * np.pi * radius[:, None] ** 3))
    out = np.zeros_like(t)
    for b in range(0, len(t), 128):
        r = t[b:b + 128, None, :] - c[None, :, :]
        rmag = np.linalg.norm(r, axis=2)
        with np.errstate(divide="ignore", invalid="ignore"):
            u = r / rmag[..., None]
            d = np.einsum("tsk,sk->ts", u, moment)
            h = (3.0 * u * d[..., None] - moment[None]) / (4.0 * np.pi * rmag[..., None] ** 3)
        h = np.where((rmag <= radius[None, :])[..., None], core[None], h)
        out[b:b + 128] = h.sum(axis=1)
    return out


def numpy_currents(s, v, j, t):
    """Current elements V*J: Biot-Savart outside the sphere of volume V, the
    linear core field inside it."""
    radius = equivalent_radius(v)
    vj = j * v[:, None]
    out = np.zeros_like(t)
    for b in range(0, len(t), 128):
        r = t[b:b + 128, None, :] - s[None, :, :]
        rmag = np.linalg.norm(r, axis=2)
        rr = np.where(rmag < radius[None, :], radius[None, :], rmag)
        out[b:b + 128] = np.einsum("tsk,ts->tk", np.cross(vj[None], r), INV_4PI / rr**3)
    return out


def relative_errors(h, ref):
    err = np.linalg.norm(h - ref, axis=1)
    size = np.linalg.norm(ref, axis=1)
    return np.sqrt(np.mean(err**2) / np.mean(size**2)), err.max() / size.max()


# ---- fixtures ---------------------------------------------------------------------

def cloud(rng, n, moments):
    c = rng.uniform(-1.0, 1.0, size=(n, 3))
    v = rng.uniform(1e-5, 1e-4, size=n)
    m = rng.normal(size=(n, 3)) if moments == "random" else np.tile([0.2, -0.3, 1.0], (n, 1))
    # Targets: on every tenth source, inside the cloud and around it.
    t = np.vstack([c[::10], rng.uniform(-1.0, 1.0, size=(200, 3)), rng.uniform(-3.0, 3.0, size=(200, 3))])
    return c, v, m, t


def mag_point(c, v, m, t, theta, leaf, nthreads=0):
    return _zandrel.h_mag_point(c, v, m, t, theta, leaf, nthreads, True)


def current_point(c, v, m, t, theta, leaf, nthreads=0):
    return _zandrel.h_current_point_octree(c, v, m, t, theta, leaf, nthreads)


POINT_FUNCTIONS = {"h_mag_point": (mag_point, numpy_dipoles), "h_current_point_octree": (current_point, numpy_currents)}


@pytest.fixture(scope="module")
def mesh():
    nodes, conn = box_mesh(5, (-0.5, -0.5, -0.5), (0.5, 0.5, 1.0))
    rng = np.random.default_rng(5)
    cent = _zandrel.mesh_centroids(nodes, conn)
    # Centroids, random points inside and around the box. (Not the nodes:
    # on element edges the fields of the single elements are singular.)
    inside = rng.uniform(-0.5, 0.5, size=(100, 3)) * [1.0, 1.0, 1.5] + [0.0, 0.0, 0.25]
    t = np.vstack([cent[::5], inside, rng.uniform(-1.5, 1.5, size=(150, 3))])
    return nodes, conn, t


def tet_moments(mesh, moments):
    e = len(mesh[1])
    if moments == "aligned":
        return np.tile([0.2, -0.3, 1.0], (e, 1))
    return np.random.default_rng(6).normal(size=(e, 3))


def mag_tet4(nodes, conn, m, t, theta, leaf, nthreads=0, edge=False):
    return _zandrel.h_mag_tet4(nodes, conn, m, t, theta, leaf, nthreads, True, edge)


def current_tet4(nodes, conn, j, t, theta, leaf, nthreads=0):
    return _zandrel.h_current_tet4_octree(nodes, conn, j, t, theta, leaf, nthreads)


def mag_tet4_direct(nodes, conn, m, t):
    return _zandrel.h_mag_tet4(nodes, conn, m, t, 0.0, 0, 0, False, True)


def current_tet4_direct(nodes, conn, j, t):
    return _zandrel.h_current_tet4_direct(nodes, conn, j, t, 0, True)


TET_FUNCTIONS = {"h_mag_tet4": (mag_tet4, mag_tet4_direct),
                 "h_current_tet4_octree": (current_tet4, current_tet4_direct)}


# ---- theta = 0: the exact sum of the leaf kernels -------------------------------------

@pytest.mark.parametrize("name", POINT_FUNCTIONS)
@pytest.mark.parametrize("leaf", [1, 7, 5000])
def test_theta_zero_is_the_exact_sum_over_point_sources(rng, name, leaf):
    octree, reference = POINT_FUNCTIONS[name]
    c, v, m, t = cloud(rng, 700, "random")
    h = octree(c, v, m, t, 0.0, leaf)
    ref = reference(c, v, m, t)
    np.testing.assert_allclose(h, ref, rtol=1e-11, atol=1e-13 * np.abs(ref).max())
    # No branch is ever accepted with a negative or NaN theta either.
    assert np.array_equal(octree(c, v, m, t, -1.0, leaf), h)
    assert np.array_equal(octree(c, v, m, t, float("nan"), leaf), h)


@pytest.mark.parametrize("name", TET_FUNCTIONS)
@pytest.mark.parametrize("leaf", [1, 6])
def test_theta_zero_is_the_edge_formulation_sum(mesh, name, leaf):
    octree, direct = TET_FUNCTIONS[name]
    nodes, conn, t = mesh
    m = tet_moments(mesh, "random")
    ref = direct(nodes, conn, m, t)
    # The same kernel for every element; only the order of the sum differs.
    np.testing.assert_allclose(octree(nodes, conn, m, t, 0.0, leaf), ref, rtol=1e-11, atol=1e-13 * np.abs(ref).max())


def test_single_source_is_its_exact_kernel(rng):
    c, v, m = np.array([[0.3, -0.2, 0.1]]), np.array([0.05]), np.array([[1.0, 2.0, -1.0]])
    t = np.vstack([rng.uniform(-2, 2, size=(20, 3)), c])
    for leaf in (1, 2, 100):
        ref = numpy_dipoles(c, v, m, t)
        np.testing.assert_allclose(mag_point(c, v, m, t, 0.5, leaf), ref, rtol=1e-13, atol=1e-15 * np.abs(ref).max())
        ref = numpy_currents(c, v, m, t)
        np.testing.assert_allclose(current_point(c, v, m, t, 0.5, leaf), ref, rtol=1e-13,
                                   atol=1e-15 * np.abs(ref).max())


# ---- accuracy at theta > 0 (bounds: measured values with a margin of about 2) ---------

# (function, moments, theta) -> (relative RMS error, max error / max field)
POINT_BOUNDS = {
    ("h_mag_point", "aligned", 0.3): (8e-5, 8e-5),
    ("h_mag_point", "aligned", 0.5): (6.5e-4, 7e-4),
    ("h_mag_point", "aligned", 0.7): (2.5e-3, 4.5e-3),
    ("h_mag_point", "random", 0.3): (3.5e-4, 2.5e-4),
    ("h_mag_point", "random", 0.5): (1.7e-3, 1.3e-3),
    ("h_mag_point", "random", 0.7): (5.5e-3, 6e-3),
    ("h_current_point_octree", "aligned", 0.3): (9e-4, 1e-3),
    ("h_current_point_octree", "aligned", 0.5): (4.7e-3, 5.7e-3),
    ("h_current_point_octree", "aligned", 0.7): (1.35e-2, 1.5e-2),
    ("h_current_point_octree", "random", 0.3): (1.6e-2, 4.7e-3),
    ("h_current_point_octree", "random", 0.5): (5.7e-2, 1.7e-2),
    ("h_current_point_octree", "random", 0.7): (1.15e-1, 3.8e-2),
}


@pytest.mark.parametrize("name,moments,theta", POINT_BOUNDS)
def test_point_accuracy_against_direct_sum(name, moments, theta):
    rng = np.random.default_rng(11)
    c, v, m, t = cloud(rng, 4000, moments)
    octree, _ = POINT_FUNCTIONS[name]
    if name == "h_mag_point":
        ref = _zandrel.h_mag_point(c, v, m, t, 0.0, 0, 0, False)
    else:
        ref = _zandrel.h_current_point_direct(c, v, m, t, 0)
    rms, worst = relative_errors(octree(c, v, m, t, theta, 8), ref)
    bound_rms, bound_max = POINT_BOUNDS[(name, moments, theta)]
    assert rms < bound_rms and worst < bound_max, (rms, worst)


def test_point_error_shrinks_with_theta():
    rng = np.random.default_rng(12)
    c, v, m, t = cloud(rng, 3000, "aligned")
    ref = _zandrel.h_mag_point(c, v, m, t, 0.0, 0, 0, False)
    errors = [relative_errors(mag_point(c, v, m, t, theta, 8), ref)[0] for theta in (0.9, 0.6, 0.3, 0.1)]
    assert errors == sorted(errors, reverse=True)
    assert errors[-1] < 1e-5


TET_BOUNDS = {
    ("h_mag_tet4", "aligned", 0.3): (2e-3, 3e-3),
    ("h_mag_tet4", "aligned", 0.5): (1.7e-2, 2.1e-2),
    ("h_mag_tet4", "random", 0.3): (2.5e-3, 2.2e-3),
    ("h_mag_tet4", "random", 0.5): (2.4e-2, 1.7e-2),
    ("h_current_tet4_octree", "aligned", 0.3): (1.4e-3, 3e-3),
    ("h_current_tet4_octree", "aligned", 0.5): (8e-3, 1e-2),
    ("h_current_tet4_octree", "random", 0.3): (1.7e-2, 1.7e-2),
    ("h_current_tet4_octree", "random", 0.5): (8.5e-2, 1e-1),
}


@pytest.mark.parametrize("name,moments,theta", TET_BOUNDS)
def test_tet4_accuracy_against_direct_sum(mesh, name, moments, theta):
    nodes, conn, t = mesh
    octree, direct = TET_FUNCTIONS[name]
    m = tet_moments(mesh, moments)
    rms, worst = relative_errors(octree(nodes, conn, m, t, theta, 8), direct(nodes, conn, m, t))
    bound_rms, bound_max = TET_BOUNDS[(name, moments, theta)]
    assert rms < bound_rms and worst < bound_max, (rms, worst)


def test_tet4_octree_on_a_grid_aligned_with_a_regular_mesh():
    # The leaves evaluate the edge formulation at targets in the planes of
    # their faces. Measured: relative RMS 6.8e-3, max 1.5e-2 (the README's
    # accuracy for theta 0.5).
    nodes, conn, t = kuhn_box_and_aligned_grid()
    m = np.tile([0.3, -0.2, 1.0], (len(conn), 1))
    face = _zandrel.h_mag_tet4(nodes, conn, m, t, 0.0, 0, 0, False, False)
    rms, worst = relative_errors(mag_tet4(nodes, conn, m, t, 0.5, 8), face)
    assert rms < 1e-2 and worst < 3e-2, (rms, worst)


@pytest.mark.parametrize("theta, leaf", [(0.5, 8), (0.3, 4)])
def test_tet4_octree_at_the_centroids_of_an_unjittered_sphere(theta, leaf):
    # The centroids of a lattice mesh lie in the face planes of other
    # elements. Measured: relative RMS 2.5e-5 and 1.8e-3, max 3.7e-5 and 2.4e-3.
    nodes, conn = sphere_mesh(1.0, 4, jitter=0.0)
    t = _zandrel.mesh_centroids(nodes, conn)
    m = np.tile([0.0, 0.0, 1.0], (len(conn), 1))
    face = _zandrel.h_mag_tet4(nodes, conn, m, t, 0.0, 0, 0, False, False)
    rms, worst = relative_errors(mag_tet4(nodes, conn, m, t, theta, leaf), face)
    assert rms < 3e-3 and worst < 5e-3, (rms, worst)


# ---- results independent of threads, edge flag -------------------------------------------

@pytest.mark.parametrize("name", POINT_FUNCTIONS)
def test_point_results_do_not_depend_on_thread_count(rng, name):
    octree, _ = POINT_FUNCTIONS[name]
    c, v, m, t = cloud(rng, 3000, "random")
    t = np.vstack([t] * 3)
    first = octree(c, v, m, t, 0.5, 4, 1)
    for n in (0, 2, 3, 17, 4096):
        assert np.array_equal(octree(c, v, m, t, 0.5, 4, n), first)


@pytest.mark.parametrize("name", TET_FUNCTIONS)
def test_tet4_results_do_not_depend_on_thread_count(mesh, name):
    octree, _ = TET_FUNCTIONS[name]
    nodes, conn, t = mesh
    m = tet_moments(mesh, "random")
    first = octree(nodes, conn, m, t, 0.6, 3, 1)  # one piece, evaluated on the calling thread
    for n in (0, 2, 5, 1000):
        assert np.array_equal(octree(nodes, conn, m, t, 0.6, 3, n), first)


def test_mag_tet4_octree_ignores_the_edge_flag(mesh):
    nodes, conn, t = mesh
    m = tet_moments(mesh, "aligned")
    for nthreads in (0, 1, 7):
        assert np.array_equal(mag_tet4(nodes, conn, m, t, 0.5, 4, nthreads, edge=True),
                              mag_tet4(nodes, conn, m, t, 0.5, 4, nthreads, edge=False))


def test_no_targets_give_an_empty_result(rng):
    c, v, m, _ = cloud(rng, 10, "random")
    empty = np.zeros((0, 3))
    for h in (mag_point(c, v, m, empty, 0.5, 2), current_point(c, v, m, empty, 0.5, 2)):
        assert h.shape == (0, 3) and h.dtype == np.float64
    nodes, conn = box_mesh(1)
    j = np.ones((len(conn), 3))
    assert current_tet4(nodes, conn, j, empty, 0.5, 2).shape == (0, 3)
    assert mag_tet4(nodes, conn, j, empty, 0.5, 2).shape == (0, 3)


# ---- failures ---------------------------------------------------------------------------------

NO_SOURCES = "^called `Option::unwrap\\(\\)` on a `None` value$"


def test_no_sources_abort_every_octree_function():
    t = np.ones((2, 3))
    none3, none1 = np.zeros((0, 3)), np.zeros(0)
    with pytest.raises(PANIC, match=NO_SOURCES):
        mag_point(none3, none1, none3, t, 0.5, 1)
    with pytest.raises(PANIC, match=NO_SOURCES):
        current_point(none3, none1, none3, t, 0.5, 1)
    nodes, no_elements = box_mesh(1)[0], np.zeros((0, 4), dtype=np.uint32)
    with pytest.raises(PANIC, match=NO_SOURCES):
        mag_tet4(nodes, no_elements, none3, t, 0.5, 1)
    with pytest.raises(PANIC, match=NO_SOURCES):
        current_tet4(nodes, no_elements, none3, t, 0.5, 1)


def one_source_calls(leaf):
    """Each octree function with one source centred at (1, 2, 3)."""
    c, v, m = np.array([[1.0, 2.0, 3.0]]), np.array([1e-3]), np.array([[0.0, 0.0, 1.0]])
    nodes = np.array([[0.5, 1.5, 2.5], [1.75, 1.75, 2.75], [0.75, 2.75, 2.75], [1.0, 2.0, 4.0]])
    conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    t = np.array([[5.0, 5.0, 5.0]])
    assert np.allclose(_zandrel.mesh_centroids(nodes, conn), c)
    return [lambda: mag_point(c, v, m, t, 0.5, leaf), lambda: current_point(c, v, m, t, 0.5, leaf),
            lambda: mag_tet4(nodes, conn, m, t, 0.5, leaf), lambda: current_tet4(nodes, conn, m, t, 0.5, leaf)]


@pytest.mark.parametrize("call", range(4))
def test_leaf_threshold_zero_writes_the_depth_line_and_aborts(capfd, call):
    capfd.readouterr()
    with pytest.raises(PANIC, match="^explicit panic$"):
        one_source_calls(0)[call]()
    captured = capfd.readouterr()
    assert captured.err == "DEEP: level=22, start=0, end=1, n=1\n"
    assert captured.out == ""
    # With room for the source the same call succeeds and writes nothing.
    one_source_calls(1)[call]()
    assert capfd.readouterr().err == ""


def test_coincident_sources_beyond_the_threshold_abort(capfd):
    c = np.array([[0.0, 0.0, 0.0], [0.5, 0.5, 0.5], [0.5, 0.5, 0.5], [0.5, 0.5, 0.5], [1.0, 0.0, 0.0]])
    v, m, t = np.full(5, 1e-3), np.ones((5, 3)), np.ones((1, 3))
    capfd.readouterr()
    with pytest.raises(PANIC, match="^explicit panic$"):
        current_point(c, v, m, t, 0.5, 2)
    assert capfd.readouterr().err == "DEEP: level=22, start=1, end=4, n=3\n"
    current_point(c, v, m, t, 0.5, 3)
    assert capfd.readouterr().err == ""


def test_short_source_arrays_abort_at_the_first_missing_entry(rng):
    c, v, m, t = cloud(rng, 5, "random")
    index = "^index out of bounds: the len is {0} but the index is {0}$"
    for fn in (mag_point, current_point):
        with pytest.raises(PANIC, match=index.format(3)):
            fn(c, v[:3], m, t, 0.5, 1)
        with pytest.raises(PANIC, match=index.format(4)):
            fn(c, v, m[:4], t, 0.5, 1)
    nodes, conn = box_mesh(1)
    j = np.ones((len(conn), 3))
    for fn in (mag_tet4, current_tet4):
        with pytest.raises(PANIC, match=index.format(len(conn) - 1)):
            fn(nodes, conn, j[:-1], t, 0.5, 1)


def test_node_index_out_of_range_aborts(rng):
    nodes, conn = box_mesh(2)
    conn = conn.copy()
    conn[7, 2] = len(nodes)
    conn[9, 0] = len(nodes) + 5
    j = np.ones((len(conn), 3))
    message = f"^index out of bounds: the len is {len(nodes)} but the index is {len(nodes)}$"
    t = rng.uniform(-1, 1, size=(4, 3))
    with pytest.raises(PANIC, match=message):
        mag_tet4(nodes, conn, j, t, 0.5, 4)
    with pytest.raises(PANIC, match=message):
        current_tet4(nodes, conn, j, t, 0.5, 4)
    # The element geometry is formed (and fails) before the current densities are viewed.
    with pytest.raises(PANIC, match=message):
        current_tet4(nodes, conn, np.ones((len(conn), 6))[:, ::2], t, 0.5, 4)


def test_non_contiguous_volumes_are_refused(rng):
    c, v, m, t = cloud(rng, 6, "random")
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        current_point(c, np.repeat(v, 2)[::2], m, t, 0.5, 1)
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        mag_point(c, np.repeat(v, 2)[::2], m, t, 0.5, 1)
    # Point arrays of any layout are copied.
    assert np.array_equal(current_point(np.asfortranarray(c), v, m[::-1][::-1], t, 0.5, 1),
                          current_point(c, v, m, t, 0.5, 1))
