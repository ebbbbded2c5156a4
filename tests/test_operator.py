"""zandrel.FieldOperator against independent truth: the direct face sum of
_zandrel, an exact-arithmetic closed form written here in NumPy, linearity,
symmetry and (Galerkin) reciprocity; thread-count bit identity, the
interpreter lock, Ctrl-C and bad input."""
import itertools
import logging
import math
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _zandrel
import zandrel
from mesh_helpers import box_mesh, signed_volumes


def jittered_box(n, amount=0.2, seed=1):
    nodes, conn = box_mesh(n)
    inside = np.all((nodes > 1e-9) & (nodes < 1 - 1e-9), axis=1)
    nodes = nodes.copy()
    nodes[inside] += np.random.default_rng(seed).uniform(-amount / n, amount / n, (inside.sum(), 3))
    assert np.all(signed_volumes(nodes, conn) > 0)
    return nodes, conn


def magnetisations(centroids, seed=0):
    c = centroids - centroids.mean(axis=0)
    e = len(c)
    return {"uniform": np.tile([0.0, 0.0, 8e5], (e, 1)),
            "random": np.random.default_rng(seed).normal(size=(e, 3)) * 1e5,
            "vortex": np.stack([-c[:, 1], c[:, 0], 0.3 * np.ones(e)], axis=1) * 1e6}


def rel_rms(h, ref):
    return math.sqrt(((h - ref) ** 2).sum() / (ref ** 2).sum())


def exact_field(nodes, conn, m, targets):
    """H at targets from the face charges with the library's arctan2 and log."""
    h = np.zeros((len(targets), 3))
    tets = nodes[conn.astype(np.int64)]
    for a_, b_, c_ in ((0, 2, 1), (0, 3, 2), (1, 2, 3), (0, 1, 3)):
        a, b, c = tets[:, a_], tets[:, b_], tets[:, c_]
        n = np.cross(b - a, c - a)
        n /= np.linalg.norm(n, axis=1)[:, None]
        sigma = np.einsum("ij,ij->i", n, m) / (4 * np.pi)
        r = [p[None] - targets[:, None] for p in (a, b, c)]
        ln = [np.linalg.norm(x, axis=2) for x in r]
        num = np.einsum("tei,tei->te", r[0], np.cross(r[1], r[2]))
        den = ln[0] * ln[1] * ln[2] + sum(np.einsum("tei,tei->te", r[i], r[j]) * ln[k]
                                          for i, j, k in ((0, 1, 2), (0, 2, 1), (1, 2, 0)))
        grad = n[None] * (2 * np.arctan2(num, den))[..., None]
        s = 0.0
        for i, j in ((0, 1), (1, 2), (2, 0)):
            edge = (b, c, a)[i] - (a, b, c)[i]
            length = np.linalg.norm(edge, axis=1)
            total = ln[i] + ln[j]
            s = s + (edge / length[:, None])[None] * np.log((total + length) / (total - length))[..., None]
        grad = grad + np.cross(n[None], s)
        h -= np.einsum("tei,e->ti", grad, sigma)
    return h


@pytest.fixture(scope="module")
def box():
    nodes, conn = jittered_box(9)
    return nodes, conn, _zandrel.mesh_centroids(nodes, conn.astype(np.uint32))


@pytest.mark.parametrize("mesh_kind", ["box", "ball"])
def test_default_accuracy_against_the_direct_face_sum(mesh_kind, box):
    if mesh_kind == "box":
        nodes, conn, centroids = box
    else:
        nodes, conn = zandrel.sphere_mesh(radius=0.02, divisions=12)
        centroids = _zandrel.mesh_centroids(nodes, conn)
    op = zandrel.FieldOperator((nodes, conn))
    for m in magnetisations(centroids).values():
        ref = _zandrel.h_mag_tet4(nodes, conn.astype(np.uint32), m, centroids, 0.5, 1, 0, False, False)
        assert rel_rms(op.apply(m), ref) <= 1e-3


def test_extreme_grading_packs_leaves_beyond_the_tree_depth():
    # 48 elements of 1e-8 m a metre from a 0.1 m one: their centroids share
    # one box at the tree's full depth, so a leaf holds more than 16 of them.
    small_nodes, small_conn = box_mesh(2)
    nodes = np.vstack([small_nodes * 1e-8, [[1.0, 0, 0], [1.1, 0, 0], [1.0, 0.1, 0], [1.0, 0, 0.1]]])
    conn = np.vstack([small_conn, np.arange(4)[None] + len(small_nodes)]).astype(np.uint32)
    centroids = _zandrel.mesh_centroids(nodes, conn)
    op = zandrel.FieldOperator((nodes, conn))
    for m in magnetisations(centroids).values():
        ref = _zandrel.h_mag_tet4(nodes, conn, m, centroids, 0.5, 1, 0, False, False)
        assert rel_rms(op.apply(m), ref) <= 1e-3


def test_tight_accuracy_against_the_exact_closed_form():
    nodes, conn = jittered_box(4)
    centroids = _zandrel.mesh_centroids(nodes, conn)
    op = zandrel.FieldOperator((nodes, conn), accuracy=1e-6)
    for m in magnetisations(centroids).values():
        assert rel_rms(op.apply(m), exact_field(nodes, conn, m, centroids)) <= 1e-6


# Linear up to rounding: single precision in the direct point dipoles at the
# loose levels, double at the tight ones.
@pytest.mark.parametrize("accuracy, rounding", [(1e-3, 1e-6), (1e-6, 1e-12)])
def test_linear_in_the_magnetisation(box, accuracy, rounding):
    nodes, conn, centroids = box
    op = zandrel.FieldOperator((nodes, conn), accuracy=accuracy)
    ms = list(magnetisations(centroids).values())
    combined = op.apply(2.5 * ms[0] - 0.75 * ms[1] + ms[2])
    parts = 2.5 * op.apply(ms[0]) - 0.75 * op.apply(ms[1]) + op.apply(ms[2])
    assert np.allclose(combined, parts, rtol=0, atol=rounding * np.abs(parts).max())


def test_blocks_symmetric_and_galerkin_reciprocity():
    """H_i = sum_j N_ij M_j with N_ij the Hessian of element j's Newtonian
    potential: every block is symmetric. The volume-averaged operator is
    reciprocal, V_i <N_j>_i = V_j <N_i>_j^T (mutual energy), checked with a
    degree-7 rule inside well separated elements through field()."""
    nodes, conn = jittered_box(4)
    e = len(conn)
    op = zandrel.FieldOperator((nodes, conn), accuracy=1e-7)
    rng = np.random.default_rng(3)
    cols = rng.choice(e, 6, replace=False)
    blocks = np.stack([op.apply(np.eye(3)[c] * (np.arange(e) == j)[:, None]) for j in cols for c in range(3)])
    blocks = blocks.reshape(len(cols), 3, e, 3)  # [j, c, i, r] = N_ij[r, c]
    assert np.allclose(blocks, blocks.transpose(0, 3, 2, 1), rtol=0, atol=1e-12)

    bary, weights = grundmann_moeller(7)
    tets = nodes[conn.astype(np.int64)]
    volumes = np.abs(signed_volumes(nodes, conn))
    centroids = tets.mean(axis=1)
    pairs = [(i, j) for i, j in itertools.combinations(range(e), 2)
             if np.linalg.norm(centroids[i] - centroids[j]) > 0.7][:12]

    def averaged(i, j):  # V_i <N_j>_i, [r, c]
        points = np.einsum("kn,nd->kd", bary, tets[i])
        cols = [op.field(np.eye(3)[c] * (np.arange(e) == j)[:, None], points) for c in range(3)]
        return volumes[i] * np.stack([weights @ h for h in cols], axis=1)

    for i, j in pairs:
        a, b = averaged(i, j), averaged(j, i)
        assert np.abs(a - b.T).max() <= 2e-6 * np.abs(a).max()


def grundmann_moeller(d):
    """Barycentric points (P, 4) and weights summing to 1, exact to odd degree d."""
    s, pts, wts = (d - 1) // 2, [], []
    for i in range(s + 1):
        w = (-1) ** i * 2.0 ** (-2 * s) * (d + 3 - 2 * i) ** d / (math.factorial(i) * math.factorial(d + 3 - i))
        for parts in itertools.product(range(s - i + 1), repeat=4):
            if sum(parts) == s - i:
                pts.append([(2 * p + 1) / (d + 3 - 2 * i) for p in parts])
                wts.append(w)
    wts = np.array(wts)
    return np.array(pts), wts / wts.sum()


def test_rows_field_and_self_tensors_agree(box):
    nodes, conn, centroids = box
    m = magnetisations(centroids)["random"]
    full = zandrel.FieldOperator((nodes, conn))
    rows = np.arange(5, len(conn), 7)
    part = zandrel.FieldOperator((nodes, conn), rows=rows)
    assert part.shape == (3 * len(rows), 3 * len(conn))
    ref = _zandrel.h_mag_tet4(nodes, conn.astype(np.uint32), m, centroids[rows], 0.5, 1, 0, False, False)
    assert rel_rms(part.apply(m), ref) <= 1e-3
    # field() recomputes the near blocks that rows keep stored (rounded): the two agree to the accuracy.
    at_centroids = full.field(m, centroids[rows])
    assert rel_rms(at_centroids, ref) <= 1e-3
    assert rel_rms(part.apply(m), at_centroids) <= 1e-3
    at_points = zandrel.FieldOperator((nodes, conn), points=centroids[rows])
    assert np.array_equal(at_points.apply(m), part.apply(m))

    tensors = full.self_tensors(rows[:20])
    for row, tensor in zip(rows[:20], tensors):
        alone = np.zeros((len(conn), 3))
        for c in range(3):
            alone[row] = np.eye(3)[c]
            single = _zandrel.h_mag_tet4(nodes, conn[row:row + 1].astype(np.uint32), alone[row:row + 1],
                                         centroids[row:row + 1], 0.5, 1, 0, False, False)
            assert np.allclose(tensor[:, c], single[0], rtol=0, atol=1e-14)
        assert abs(np.trace(tensor) + 1) < 1e-5  # demagnetising tensor at an inner point


def test_memory_limit_computes_near_blocks_of_elongated_elements(caplog):
    # Cells of aspect 4:2:1: each element's near zones (a few of its radii)
    # hold three times the pairs of a cubic cell's. Under the limit part of
    # them are computed at every application instead of stored; the field
    # stays within the accuracy, the bits stay the same for every thread count.
    nodes, conn = jittered_box(8)
    nodes = nodes * [2.0, 1.0, 0.5]
    centroids = _zandrel.mesh_centroids(nodes, conn)
    m = magnetisations(centroids)["vortex"]
    ref = _zandrel.h_mag_tet4(nodes, conn, m, centroids, 0.5, 1, 0, False, False)
    free = zandrel.FieldOperator((nodes, conn), max_bytes_per_element=None)
    assert free.info()["computed_near_pairs"] == 0 and not free.info()["memory_limited"]
    limit = 0.75 * free.info()["operator_bytes"] / len(conn)
    with caplog.at_level(logging.WARNING, logger="zandrel.operator"):
        capped = [zandrel.FieldOperator((nodes, conn), threads=t, max_bytes_per_element=limit) for t in (1, 2)]
    assert "computed at every application" in caplog.text
    info = capped[0].info()
    assert info["operator_bytes"] <= limit * len(conn)
    assert info["memory_limited"] and 0 < info["computed_near_pairs"] < info["near_pairs"] == free.info()["near_pairs"]
    h = capped[0].apply(m)
    assert np.array_equal(h, capped[1].apply(m))
    assert rel_rms(h, ref) <= 1e-3
    assert rel_rms(h, free.apply(m)) <= 1e-4  # stored blocks differ from computed ones by their rounding


def test_same_bits_for_every_thread_count(box):
    nodes, conn, centroids = box
    m = magnetisations(centroids)["vortex"]
    results = [zandrel.FieldOperator((nodes, conn), threads=t).apply(m) for t in (1, 2, 0)]
    assert all(np.array_equal(results[0], r) for r in results[1:])


def test_a_pickled_operator_is_rebuilt_with_the_same_bits(box):
    # Dask and multiprocessing ship operators (and solutions holding them) this way.
    nodes, conn, centroids = box
    m = magnetisations(centroids)["random"]
    for op in (zandrel.FieldOperator((nodes, conn)), zandrel.FieldOperator((nodes, conn), 1e-4, rows=[3, 1, 4])):
        copy = pickle.loads(pickle.dumps(op))
        assert (copy.accuracy, copy.n_rows) == (op.accuracy, op.n_rows)
        assert np.array_equal(copy.apply(m), op.apply(m))


def test_releases_the_interpreter_lock():
    nodes, conn = jittered_box(14)
    op = zandrel.FieldOperator((nodes, conn))
    m = np.ones((len(conn), 3))
    ticks, running = [0], threading.Event()

    def count():
        running.set()
        while running.is_set():
            ticks[0] += 1

    worker = threading.Thread(target=count)
    worker.start()
    running.wait()
    before = ticks[0]
    op.apply(m)
    during = ticks[0] - before
    running.clear()
    worker.join()
    assert during > 1000


def test_ctrl_c_interrupts_apply(tmp_path):
    script = tmp_path / "run.py"
    script.write_text(textwrap.dedent(f"""
        import ctypes, signal, sys
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started in the background
        if sys.platform.startswith("linux"):  # PR_SET_PDEATHSIG: a killed test run takes the child with it
            ctypes.CDLL(None).prctl(1, signal.SIGKILL)
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import numpy as np, zandrel
        from mesh_helpers import box_mesh
        nodes, conn = box_mesh(24)
        op = zandrel.FieldOperator((nodes, conn), accuracy=1e-6)
        m = np.ones((len(conn), 3))
        try:
            print("ready", flush=True)
            while True:  # each application takes seconds: the signal lands inside one
                op.apply(m)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """))
    proc = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert out.strip() == "interrupted"


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(accuracy=0.0), ValueError, "accuracy"),
    (dict(accuracy="fine"), TypeError, "accuracy"),
    (dict(threads=-1), ValueError, "threads"),
    (dict(rows=[0, 10 ** 6]), ValueError, "rows"),
    (dict(max_bytes_per_element=-5.0), ValueError, "max_bytes_per_element"),
])
def test_bad_construction(kwargs, error, text, box):
    nodes, conn, _ = box
    with pytest.raises(error, match=text):
        zandrel.FieldOperator((nodes, conn), **kwargs)


@pytest.mark.parametrize("mesh, text", [
    ("not a mesh", "mesh"),
    ((np.zeros((4, 2)), np.array([[0, 1, 2, 3]])), "nodes"),
    ((np.eye(4, 3), np.array([[0, 1, 2, 4]])), "elements"),
    ((np.eye(4, 3), np.array([[0.0, 1, 2, 3]])), "elements"),
    ((np.zeros((4, 3)), np.array([[0, 1, 2, 3]])), "zero volume"),
])
def test_bad_mesh(mesh, text):
    with pytest.raises((ValueError, TypeError), match=text):
        zandrel.FieldOperator(mesh)


def test_bad_arguments_of_apply_and_field(box):
    nodes, conn, centroids = box
    op = zandrel.FieldOperator((nodes, conn))
    with pytest.raises(ValueError, match="m must have shape"):
        op.apply(np.ones((len(conn), 2)))
    with pytest.raises(ValueError, match="m must be finite"):
        op.apply(np.full((len(conn), 3), np.nan))
    with pytest.raises(ValueError, match="targets"):
        op.field(np.ones((len(conn), 3)), np.ones((4, 2)))
    with pytest.raises(ValueError, match="rows"):
        op.self_tensors([-1])


def test_negative_orientation_is_repaired_and_int64_accepted(box):
    nodes, conn, centroids = box
    flipped = conn.astype(np.int64)
    flipped[::2, [1, 2]] = flipped[::2, [2, 1]]
    m = magnetisations(centroids)["random"]
    assert np.array_equal(zandrel.FieldOperator((nodes, flipped)).apply(m),
                          zandrel.FieldOperator((nodes, conn)).apply(m))
