"""magnetization_tet4: the relaxed fixed-point iteration, its progress lines
on file descriptor 1, its failure modes, and the physics of a linear
magnetic sphere in a uniform field (M = chi / (1 + chi/3) * H0)."""
import inspect
import math
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _zandrel
from zandrel.mesh import signed_volumes
from zandrel.meshers import sphere_mesh

UNIT_NODES = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


def small_mesh(divisions=3):
    return sphere_mesh(1.0, divisions)


def uniform(count, h0=(0.0, 0.0, 1.0)):
    return np.ascontiguousarray(np.tile(np.asarray(h0, dtype=np.float64), (count, 1)))


def solve(nodes, conn, chi, hext, tol=1e-10, max_iterations=50, theta=0.0, leaf_threshold=0, alpha=1.0,
          nthreads_requested=0, edge=False):
    return _zandrel.magnetization_tet4(nodes, conn, chi, hext, tol, max_iterations, theta, leaf_threshold, alpha,
                                       nthreads_requested, edge)


def fmt(value):
    """Three digits after the point, bare exponent: the progress-line format."""
    if math.isinf(value):
        return "inf"
    mantissa, exponent = f"{value:.3e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def lines(text):
    return text.splitlines()


def demag_field(nodes, conn, m, leaf_threshold, theta, edge):
    """The demagnetising field at the centroids by the field function the
    solver's evaluation corresponds to."""
    centroids = _zandrel.mesh_centroids(nodes, conn)
    if leaf_threshold == 0:
        return _zandrel.h_mag_tet4(nodes, conn, m, centroids, theta, 0, 0, False, edge)
    return _zandrel.h_mag_tet4(nodes, conn, m, centroids, theta, leaf_threshold, 0, True, edge)


# ---------------------------------------------------------------- the loop, step by step

@pytest.mark.parametrize("leaf_threshold, theta, edge", [(0, 0.0, False), (0, 0.0, True), (4, 0.5, False)])
@pytest.mark.parametrize("chi, alpha", [(0.7, 1.0), (3.0, 0.4), (1.5, 0.0)])
def test_iterations_replayed_with_field_function(capfd, leaf_threshold, theta, edge, chi, alpha):
    """Every iteration: h = field of m at the centroids, target = (h + hext) chi,
    change = max |m - target| over all components, m = target alpha + m (1 - alpha).
    Replayed in NumPy with the same operations gives the same bits."""
    nodes, conn = small_mesh(3)
    rng = np.random.default_rng(7)
    hext = rng.normal(size=(len(conn), 3))
    m = hext * chi
    expected_lines = []
    h = np.zeros_like(hext)
    iterations = 3
    for k in range(iterations):
        h = demag_field(nodes, conn, m, leaf_threshold, theta, edge)
        target = (h + hext) * chi
        change = np.abs(m - target).max()
        m = target * alpha + m * (1.0 - alpha)
        expected_lines.append(f"Iteration: {k}; max change: {fmt(change)}")
    capfd.readouterr()
    m_got, h_got = solve(nodes, conn, chi, hext, tol=-1.0, max_iterations=iterations, theta=theta,
                         leaf_threshold=leaf_threshold, alpha=alpha, edge=edge)
    assert lines(capfd.readouterr().out) == expected_lines
    np.testing.assert_array_equal(m_got, m)
    np.testing.assert_array_equal(h_got, h + hext)


def test_result_arrays():
    nodes, conn = small_mesh(2)
    result = solve(nodes, conn, 1.0, uniform(len(conn)), max_iterations=2)
    assert isinstance(result, tuple) and len(result) == 2
    for array in result:
        assert array.dtype == np.float64 and array.shape == (len(conn), 3)
        assert array.flags.c_contiguous and array.flags.writeable


def test_max_iterations_zero_returns_initial_state_and_prints_nothing(capfd):
    nodes, conn = small_mesh(2)
    hext = np.random.default_rng(1).normal(size=(len(conn), 3))
    m, h = solve(nodes, conn, 2.5, hext, max_iterations=0)
    assert capfd.readouterr().out == ""
    np.testing.assert_array_equal(m, hext * 2.5)
    np.testing.assert_array_equal(h, hext)


def test_chi_zero_stops_after_one_iteration(capfd):
    nodes, conn = small_mesh(2)
    hext = np.random.default_rng(2).normal(size=(len(conn), 3))
    m, h = solve(nodes, conn, 0.0, hext, tol=0.0, max_iterations=10)
    assert capfd.readouterr().out == "Iteration: 0; max change: 0.000e0\n"
    np.testing.assert_array_equal(m, np.zeros_like(hext))
    np.testing.assert_array_equal(h, hext)


def test_alpha_zero_never_moves(capfd):
    nodes, conn = small_mesh(2)
    hext = uniform(len(conn))
    m, _ = solve(nodes, conn, 1.0, hext, tol=1e-12, max_iterations=4, alpha=0.0)
    assert len(lines(capfd.readouterr().out)) == 4
    np.testing.assert_array_equal(m, hext * 1.0)
    # With a tolerance the initial state already meets, the first iteration stops.
    m, _ = solve(nodes, conn, 1.0, hext, tol=10.0, max_iterations=4, alpha=0.0)
    assert len(lines(capfd.readouterr().out)) == 1
    np.testing.assert_array_equal(m, hext)


def test_alpha_one_is_the_plain_fixed_point(capfd):
    nodes, conn = small_mesh(2)
    hext = uniform(len(conn))
    chi = 0.8
    m, h = solve(nodes, conn, chi, hext, tol=-1.0, max_iterations=1, alpha=1.0)
    capfd.readouterr()
    np.testing.assert_array_equal(m, h * chi)  # h already holds + hext


@pytest.mark.parametrize("tol", [-1.0, -0.0 - 1e-300, float("nan")])
@pytest.mark.parametrize("leaf_threshold", [0, 3])
def test_tolerance_never_met_prints_exactly_max_iterations_lines(capfd, tol, leaf_threshold):
    nodes, conn = small_mesh(2)
    solve(nodes, conn, 0.0, uniform(len(conn)), tol=tol, max_iterations=5, theta=0.5,
          leaf_threshold=leaf_threshold)
    assert lines(capfd.readouterr().out) == [f"Iteration: {k}; max change: 0.000e0" for k in range(5)]


def test_stops_at_first_iteration_within_tolerance(capfd):
    nodes, conn = small_mesh(3)
    hext = uniform(len(conn))
    solve(nodes, conn, 1.0, hext, tol=-1.0, max_iterations=12, alpha=0.6)
    changes = [float(line.rsplit(" ", 1)[1]) for line in lines(capfd.readouterr().out)]
    # Between the 7th and the 8th change (they differ by a factor of about 2,
    # far more than the rounding of the printed values).
    assert changes[6] > 1.5 * changes[7]
    tol = math.sqrt(changes[6] * changes[7])
    solve(nodes, conn, 1.0, hext, tol=tol, max_iterations=12, alpha=0.6)
    # Iteration 7 is the first whose change is within tol: it is printed, then the loop stops.
    assert len(lines(capfd.readouterr().out)) == 8


def test_nonconvergence_is_not_an_error(capfd):
    # chi = 10 with alpha = 1 diverges: the current state is returned.
    nodes, conn = small_mesh(2)
    m, h = solve(nodes, conn, 10.0, uniform(len(conn)), tol=1e-12, max_iterations=3)
    assert len(lines(capfd.readouterr().out)) == 3
    assert m.shape == h.shape == (len(conn), 3)


def test_diverging_solve_raises_instead_of_returning_non_finite_values(capfd):
    # Plain fixed point (alpha = 1) at chi = 1000: the magnetisation grows
    # about 300-fold per iteration until it overflows.
    nodes, conn = small_mesh(2)
    hext = uniform(len(conn))
    with pytest.raises(FloatingPointError, match=r"alpha = 2/\(2 \+ chi\) = 0\.001996") as err:
        solve(nodes, conn, 1000.0, hext, tol=1e-9, max_iterations=1000, alpha=1.0)
    failed = int(re.search(r"in iteration (\d+)", str(err.value)).group(1))
    printed = lines(capfd.readouterr().out)
    assert 50 < failed == len(printed)  # every iteration before the failing one
    # The suggested relaxation converges.
    m, _ = solve(nodes, conn, 1000.0, hext, tol=1e-6, max_iterations=5000, alpha=2.0 / 1002.0)
    assert np.isfinite(m).all() and len(lines(capfd.readouterr().out)) < 5000


def test_degenerate_element_is_named(capfd):
    nodes, conn = small_mesh(2)
    conn = conn.copy()
    conn[5, 3] = conn[5, 0]
    with pytest.raises(FloatingPointError, match=r"iteration 0 .*element 5 has volume 0"):
        solve(nodes, conn, 1.0, uniform(len(conn)), alpha=0.5)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("where", ["hext", "nodes", "chi"])
def test_non_finite_inputs_are_carried_through(capfd, where):
    nodes, conn = small_mesh(2)
    nodes, hext, chi = nodes.copy(), uniform(len(conn)), 1.0
    if where == "hext":
        hext[3, 1] = np.nan
    elif where == "nodes":
        nodes[conn[0, 0], 2] = np.inf
    else:
        chi = np.inf
    m, h = solve(nodes, conn, chi, hext, tol=-1.0, max_iterations=4, alpha=0.5)
    assert len(lines(capfd.readouterr().out)) == 4
    assert not np.isfinite(m).all()


def test_extra_hext_rows_ignored(capfd):
    nodes, conn = small_mesh(2)
    hext = np.random.default_rng(3).normal(size=(len(conn) + 5, 3))
    a = solve(nodes, conn, 1.2, hext, max_iterations=3)
    b = solve(nodes, conn, 1.2, np.ascontiguousarray(hext[: len(conn)]), max_iterations=3)
    out = lines(capfd.readouterr().out)
    assert out[:3] == out[3:]
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)


def test_hext_any_layout(capfd):
    nodes, conn = small_mesh(2)
    hext = np.random.default_rng(4).normal(size=(len(conn), 3))
    a = solve(nodes, conn, 1.2, hext, max_iterations=2)
    b = solve(nodes, conn, 1.2, np.asfortranarray(hext), max_iterations=2)
    wide = np.zeros((len(conn), 6))
    wide[:, ::2] = hext
    c = solve(nodes, conn, 1.2, wide[:, ::2], max_iterations=2)
    capfd.readouterr()
    for x, y, z in zip(a, b, c):
        np.testing.assert_array_equal(x, y)
        np.testing.assert_array_equal(x, z)


# ---------------------------------------------------------------- empty mesh and failures

def test_empty_mesh_direct(capfd):
    m, h = solve(np.zeros((0, 3)), np.zeros((0, 4), dtype=np.uint32), 1.0, np.zeros((0, 3)),
                 tol=0.0, max_iterations=5)
    assert capfd.readouterr().out == "Iteration: 0; max change: 0.000e0\n"
    assert m.shape == h.shape == (0, 3) and m.dtype == h.dtype == np.float64


def test_empty_mesh_octree_aborts_before_any_line(capfd):
    with pytest.raises(_zandrel.PanicException) as err:
        solve(np.zeros((0, 3)), np.zeros((0, 4), dtype=np.uint32), 1.0, np.zeros((0, 3)),
              tol=0.0, max_iterations=5, theta=0.5, leaf_threshold=1)
    assert err.value.args == ("called `Option::unwrap()` on a `None` value",)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("leaf_threshold", [0, 2])
def test_short_hext_aborts_before_first_iteration(capfd, leaf_threshold):
    nodes, conn = small_mesh(2)
    with pytest.raises(_zandrel.PanicException) as err:
        solve(nodes, conn, 1.0, uniform(len(conn) - 3), theta=0.5, leaf_threshold=leaf_threshold)
    assert err.value.args == (f"index out of bounds: the len is {len(conn) - 3} but the index is {len(conn) - 3}",)
    assert capfd.readouterr().out == ""


def test_bad_node_index_aborts_at_centroids(capfd):
    conn = np.array([[0, 1, 2, 3], [0, 1, 4, 3]], dtype=np.uint32)
    with pytest.raises(_zandrel.PanicException) as err:
        solve(UNIT_NODES, conn, 1.0, uniform(2))
    assert err.value.args == ("index out of bounds: the len is 4 but the index is 4",)
    assert capfd.readouterr().out == ""


def test_connectivity_group_count_must_match_rows():
    with pytest.raises(_zandrel.PanicException) as err:
        solve(UNIT_NODES, np.array([[0, 1], [2, 3]], dtype=np.uint32), 1.0, uniform(2))
    assert err.value.args == ("assertion `left == right` failed\n  left: 1\n right: 2",)
    with pytest.raises(_zandrel.PanicException) as err:
        solve(UNIT_NODES, np.zeros((3, 3), dtype=np.uint32), 1.0, uniform(3))
    assert err.value.args == ("assertion `left == right` failed\n  left: 1\n right: 0",)


def test_non_contiguous_nodes_rejected():
    nodes = np.asfortranarray(np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 2.0]]))
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        solve(nodes, np.array([[0, 1, 2, 3]], dtype=np.uint32), 1.0, uniform(1))


@pytest.mark.parametrize("index, value, error, prefix", [
    (2, "x", TypeError, "argument 'chi': "),
    (3, [[0.0, 0.0, 1.0]], TypeError, "argument 'hext': "),
    (3, np.zeros((1, 3), dtype=np.float32), TypeError, "argument 'hext': "),
    (5, -1, OverflowError, "out of range integral type conversion attempted"),
    (7, 2**32, OverflowError, "out of range integral type conversion attempted"),
    (10, 1, TypeError, "argument 'edge': "),
])
def test_argument_errors(index, value, error, prefix):
    args = [UNIT_NODES, np.array([[0, 1, 2, 3]], dtype=np.uint32), 1.0, uniform(1), 1e-9, 2, 0.5, 0, 1.0, 0, False]
    args[index] = value
    with pytest.raises(error) as err:
        _zandrel.magnetization_tet4(*args)
    assert str(err.value).startswith(prefix)


def test_keywords_and_signature():
    params = ["nodes", "connectivity", "chi", "hext", "tol", "max_iterations", "theta", "leaf_threshold", "alpha",
              "nthreads_requested", "edge"]
    assert list(inspect.signature(_zandrel.magnetization_tet4).parameters) == params
    nodes, conn = small_mesh(1)
    values = [nodes, conn, 0.0, uniform(len(conn)), 0.0, 0, 0.5, 0, 1.0, 0, False]
    kwargs = dict(zip(params, values))
    result = _zandrel.magnetization_tet4(**dict(reversed(list(kwargs.items()))))
    np.testing.assert_array_equal(result[1], uniform(len(conn)))


# ---------------------------------------------------------------- standard output

def run_python(code):
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, env=env, timeout=120)


def test_progress_goes_to_file_descriptor_one_not_sys_stdout():
    # sys.stdout replaced by a buffer: the lines still reach the process's
    # standard output, unbuffered, ahead of the buffered Python text.
    proc = run_python("""
        import io, sys
        import numpy as np
        import _zandrel
        from zandrel.meshers import sphere_mesh
        nodes, conn = sphere_mesh(1.0, 2)
        hext = np.tile([0.0, 0.0, 1.0], (len(conn), 1))
        real, sys.stdout = sys.stdout, io.StringIO()
        m, h = _zandrel.magnetization_tet4(nodes, conn, 0.0, hext, -1.0, 3, 0.5, 0, 1.0, 0, False)
        captured, sys.stdout = sys.stdout.getvalue(), real
        print("python sees:", repr(captured))
    """)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode() == ("Iteration: 0; max change: 0.000e0\n"
                                    "Iteration: 1; max change: 0.000e0\n"
                                    "Iteration: 2; max change: 0.000e0\n"
                                    "python sees: ''\n")


def test_failed_progress_write_aborts():
    proc = run_python("""
        import os
        import numpy as np
        import _zandrel
        from zandrel.meshers import sphere_mesh
        nodes, conn = sphere_mesh(1.0, 2)
        hext = np.tile([0.0, 0.0, 1.0], (len(conn), 1))
        saved = os.dup(1)
        os.close(1)
        try:
            _zandrel.magnetization_tet4(nodes, conn, 1.0, hext, 0.0, 3, 0.5, 0, 1.0, 0, False)
        except _zandrel.PanicException as err:
            message = err.args[0]
        os.dup2(saved, 1)
        os.write(1, message.encode())
    """)
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode() == "failed printing to stdout: Bad file descriptor"


# ---------------------------------------------------------------- solver choices

def test_leaf_threshold_zero_ignores_theta(capfd):
    nodes, conn = small_mesh(3)
    hext = uniform(len(conn))
    results = [solve(nodes, conn, 2.0, hext, tol=1e-9, max_iterations=20, theta=theta, alpha=0.5)
               for theta in (0.0, 0.3, 1.0, float("inf"), float("nan"), -2.0)]
    out = capfd.readouterr().out
    for m, h in results[1:]:
        np.testing.assert_array_equal(m, results[0][0])
        np.testing.assert_array_equal(h, results[0][1])
    blocks = out.split("Iteration: 0;")
    assert len(set(blocks[1:])) == 1


@pytest.mark.parametrize("leaf_threshold, theta", [(0, 0.0), (1, 0.5), pytest.param(8, 0.7, marks=pytest.mark.slow)])
def test_thread_count_independence(capfd, leaf_threshold, theta):
    nodes, conn = small_mesh(4)
    hext = uniform(len(conn), (0.3, -0.2, 1.0))
    results = [solve(nodes, conn, 1.5, hext, tol=1e-8, max_iterations=10, theta=theta,
                     leaf_threshold=leaf_threshold, alpha=0.6, nthreads_requested=n) for n in (1, 2, 3, 0, 1000)]
    capfd.readouterr()
    for m, h in results[1:]:
        np.testing.assert_array_equal(m, results[0][0])
        np.testing.assert_array_equal(h, results[0][1])


def test_octree_with_theta_zero_equals_exact_edge_field(capfd):
    # No branch accepted: every element acts through its exact edge kernel,
    # the direct edge-formulation sum up to the order of summation.
    nodes, conn = small_mesh(4)
    hext = uniform(len(conn))
    m_tree, h_tree = solve(nodes, conn, 2.0, hext, tol=-1.0, max_iterations=8, theta=0.0, leaf_threshold=5,
                           alpha=0.6)
    m_edge, h_edge = solve(nodes, conn, 2.0, hext, tol=-1.0, max_iterations=8, alpha=0.6, edge=True)
    capfd.readouterr()
    np.testing.assert_allclose(m_tree, m_edge, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(h_tree, h_edge, rtol=1e-12, atol=1e-12)


# ---------------------------------------------------------------- physics

def sphere_magnetization(divisions, chi, leaf_threshold=0, theta=0.0, edge=False, tol=1e-9):
    """Volume-weighted mean magnetisation of a unit sphere in H0 = z, the
    element magnetisations and fields, and the element volumes."""
    nodes, conn = sphere_mesh(1.0, divisions)
    volumes = signed_volumes(nodes, conn)
    m, h = solve(nodes, conn, chi, uniform(len(conn)), tol=tol * chi, max_iterations=300, theta=theta,
                 leaf_threshold=leaf_threshold, alpha=2.0 / (2.0 + chi), edge=edge)
    return volumes @ m / volumes.sum(), m, h, volumes


@pytest.mark.slow
@pytest.mark.parametrize("chi", [0.5, 3.0])
def test_sphere_reaches_analytic_magnetization_and_improves_with_refinement(capfd, chi):
    """Inside a sphere in a uniform field M = chi / (1 + chi/3) H0 everywhere.
    The faceted mesh and the one-point collocation make the element values
    scatter about it; the scatter shrinks as the mesh is refined."""
    analytic = chi / (1.0 + chi / 3.0)
    scatter = []
    for divisions in (4, 8):
        mean, m, h, volumes = sphere_magnetization(divisions, chi)
        # Converged: every element satisfies the material law m = chi H.
        np.testing.assert_allclose(m, chi * h, rtol=0.0, atol=3e-8 * chi)
        # Transverse components of the mean vanish by the mesh's mirror symmetry.
        assert abs(mean[0]) < 1e-9 * analytic and abs(mean[1]) < 1e-9 * analytic
        assert abs(mean[2] - analytic) < 1e-3 * analytic
        deviation = np.linalg.norm(m - [0.0, 0.0, analytic], axis=1) / analytic
        assert deviation.max() < 0.05
        scatter.append(volumes @ deviation / volumes.sum())
    capfd.readouterr()
    assert scatter[0] < 0.02
    # Halving the element size cuts the scatter by more than half.
    assert scatter[1] < 0.5 * scatter[0]


@pytest.mark.slow
def test_direct_and_octree_agree(capfd):
    # The octree replaces far groups of elements by point dipoles: a small
    # opening parameter approaches the direct solution.
    chi = 3.0
    direct, m_direct, _, volumes = sphere_magnetization(6, chi, tol=1e-7)
    differences = []
    for theta in (0.2, 0.5):
        tree, m_tree, _, _ = sphere_magnetization(6, chi, leaf_threshold=4, theta=theta, tol=1e-7)
        differences.append((abs(tree[2] - direct[2]) / direct[2], np.max(np.abs(m_tree - m_direct)) / direct[2]))
    capfd.readouterr()
    (mean_02, max_02), (mean_05, max_05) = differences
    assert mean_02 < 5e-5 and max_02 < 2e-3
    assert mean_05 < 1e-3 and max_05 < 5e-2
    assert max_02 < max_05


@pytest.mark.slow
def test_face_and_edge_formulations_agree(capfd):
    # The two closed forms differ by about 1e-5 relative near the elements.
    face, m_face, _, _ = sphere_magnetization(4, 3.0)
    edge, m_edge, _, _ = sphere_magnetization(4, 3.0, edge=True)
    capfd.readouterr()
    assert abs(face[2] - edge[2]) / face[2] < 3e-5
    assert np.max(np.abs(m_face - m_edge)) / face[2] < 3e-4


# ---------------------------------------------------------------- the demonstration

@pytest.mark.parametrize("verbose", [False, True])
def test_demo_runs_and_matches_the_analytic_sphere(verbose):
    command = [sys.executable, "-m", "zandrel", "validate", "--elements", "400", "--chi", "0.5", "3"]
    proc = subprocess.run(command + (["--verbose"] if verbose else []), capture_output=True, timeout=300,
                          env=dict(os.environ))
    assert proc.returncode == 0, proc.stderr.decode()
    out = proc.stdout.decode().splitlines()
    rows = [line.split() for line in out if line.split()[:1] in (["direct"], ["octree"])]
    assert [(r[0], float(r[1])) for r in rows] == [("direct", 0.5), ("octree", 0.5), ("direct", 3.0), ("octree", 3.0)]
    for solver, chi, mean, analytic, error, spread, iterations, seconds in rows:
        assert float(analytic) == pytest.approx(float(chi) / (1.0 + float(chi) / 3.0), rel=1e-6)
        assert abs(float(error)) < 1e-3 and float(spread) < 0.05
        assert not iterations.endswith("*")
    progress = [line for line in out if line.strip().startswith("Iteration: ")]
    # The progress lines appear only when asked for, indented under their row.
    expected = sum(int(r[6]) for r in rows) if verbose else 0
    assert len(progress) == expected


def test_demo_rejects_bad_options():
    proc = subprocess.run([sys.executable, "-m", "zandrel", "validate", "--leaf-threshold", "0"], capture_output=True,
                          timeout=60, env=dict(os.environ))
    assert proc.returncode == 2
    assert b"--leaf-threshold must be at least 1" in proc.stderr
