"""Throughput of the tetrahedral field functions from Python.

Element-target pairs per second of h_mag_tet4 (direct) and
h_current_tet4_direct, face and edge formulations, with one thread and with
all threads, beside a vectorised NumPy implementation of the face formula
(exact arctan2 and log) on the same data and, when it can be imported,
magpylib's tetrahedron magnet (magnetised elements only; it has no
current-carrying tetrahedron). The fields are compared too, so that every
column computes the same physics.

magpylib works in SI: polarization J = mu0 M in tesla, H in A/m. With M in
A/m its H equals the H returned here (in the units of M).
Run: python benchmarks/bench_tet4.py [--elements E] [--targets T]
"""
import os

# NumPy's BLAS threads keep spinning on the other core after a baseline call
# and would steal it from the parallel measurements; baselines run on one core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse

import numpy as np

import _zandrel
from common import median_seconds, ncores, print_table

try:
    import magpylib as magpy
except ImportError:  # optional comparison
    magpy = None

FACES = [(0, 2, 1), (0, 3, 2), (1, 2, 3), (0, 1, 3)]
EDGES = [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
FACE_EDGES = [(1, 3, 0), (2, 5, 1), (3, 5, 4), (0, 4, 2)]


def numpy_face(nodes, conn, vectors, targets, current, block=64):
    """The face formulation with NumPy, all elements at once per block of targets."""
    p = nodes[conn]  # (E, 4, 3)
    faces = []
    for f, (i, j, k) in enumerate(FACES):
        a, b, c = p[:, i], p[:, j], p[:, k]
        n = np.cross(b - a, c - a)
        n /= np.linalg.norm(n, axis=1)[:, None]
        e = [b - a, c - b, a - c]
        e = [v / np.linalg.norm(v, axis=1)[:, None] for v in e]
        t_hat = [np.cross(n, v) for v in e]
        t_hat = [v / np.linalg.norm(v, axis=1)[:, None] for v in t_hat]
        if current:
            factor = np.cross(vectors, n) / (4 * np.pi)
        else:
            factor = -np.einsum("ek,ek->e", n, vectors) / (4 * np.pi)
        faces.append((n, e, t_hat, factor))
    lengths = [np.linalg.norm(p[:, v] - p[:, u], axis=1) for u, v in EDGES]
    out = np.zeros_like(targets)
    for start in range(0, len(targets), block):
        r = targets[start:start + block, None, :]  # (B, 1, 3)
        d = [p[None, :, k] - r for k in range(4)]  # (B, E, 3)
        dist = [np.linalg.norm(v, axis=2) for v in d]
        with np.errstate(divide="ignore", invalid="ignore"):
            logs = [np.log((dist[u] + dist[v] + length) / (dist[u] + dist[v] - length))
                    for (u, v), length in zip(EDGES, lengths)]
        h = np.zeros((r.shape[0], 3))
        for (i, j, k), (n, e, t_hat, factor), fe in zip(FACES, faces, FACE_EDGES):
            numerator = np.einsum("bek,bek->be", d[i], np.cross(d[j], d[k]))
            denominator = (dist[i] * dist[j] * dist[k] + np.einsum("bek,bek->be", d[i], d[j]) * dist[k]
                           + np.einsum("bek,bek->be", d[i], d[k]) * dist[j]
                           + np.einsum("bek,bek->be", d[j], d[k]) * dist[i])
            omega = 2 * np.arctan2(numerator, denominator)
            edge_logs = [logs[x] for x in fe]
            if current:
                corners = (d[i], d[j], d[k])  # P - r
                phi = -np.einsum("ek,bek->be", n, d[i]) * omega
                for t_i, corner, log in zip(t_hat, corners, edge_logs):
                    phi -= np.einsum("ek,bek->be", t_i, corner) * log
                h += np.einsum("be,ek->bk", phi, factor)  # no BLAS threads: one core
            else:
                s = sum(e_i[None] * log[..., None] for e_i, log in zip(e, edge_logs))
                g = n[None] * omega[..., None] + np.cross(n[None], s)
                h += np.einsum("bek,e->bk", g, factor)
        out[start:start + block] = h
    return out


def magpylib_field(nodes, conn, mvectors, targets):
    """One-to-one evaluation of every element-target pair, summed over elements."""
    e, t = len(conn), len(targets)
    vertices = np.repeat(nodes[conn], t, axis=0)
    pol = np.repeat(mvectors * magpy.mu_0, t, axis=0)
    obs = np.tile(targets, (e, 1))
    h = magpy.func.tetrahedron_field(field="H", observers=obs, vertices=vertices, polarizations=pol)
    return h.reshape(e, t, 3).sum(axis=0)


def mesh(rng, n):
    """Small well-shaped elements scattered through the unit cube."""
    corner = np.array([[0, 0, 0], [0.05, 0, 0], [0, 0.05, 0], [0, 0, 0.05]])
    base = rng.uniform(-1, 1, (n, 1, 3))
    nodes = (base + corner + rng.uniform(-0.01, 0.01, (n, 4, 3))).reshape(-1, 3)
    conn = np.arange(4 * n, dtype=np.uint32).reshape(n, 4)
    return nodes, conn, rng.normal(size=(n, 3))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--elements", type=int, default=2000)
    parser.add_argument("--targets", type=int, default=4000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    nodes, conn, vec = mesh(rng, args.elements)
    tgt = rng.uniform(-1, 1, (args.targets, 3))
    pairs = args.elements * args.targets
    cores = ncores()
    sub_e, sub_t = min(200, args.elements), min(200, args.targets)  # the baselines get a subset
    sub = (nodes, conn[:sub_e], vec[:sub_e], tgt[:sub_t])
    sub_pairs = sub_e * sub_t

    runs = [
        ("h_mag_tet4 face", lambda k: _zandrel.h_mag_tet4(nodes, conn, vec, tgt, 0.0, 1, k, False, False),
         lambda: numpy_face(*sub, current=False), True),
        ("h_mag_tet4 edge", lambda k: _zandrel.h_mag_tet4(nodes, conn, vec, tgt, 0.0, 1, k, False, True),
         lambda: numpy_face(*sub, current=False), True),
        ("h_current_tet4_direct face", lambda k: _zandrel.h_current_tet4_direct(nodes, conn, vec, tgt, k, False),
         lambda: numpy_face(*sub, current=True), False),
        ("h_current_tet4_direct edge", lambda k: _zandrel.h_current_tet4_direct(nodes, conn, vec, tgt, k, True),
         lambda: numpy_face(*sub, current=True), False),
    ]
    rows, agreement = [], []
    for name, native, numpy_impl, magnetic in runs:
        edge = name.endswith("edge")
        if magnetic:
            small = _zandrel.h_mag_tet4(*sub, 0.0, 1, 0, False, edge)
        else:
            small = _zandrel.h_current_tet4_direct(*sub, 0, edge)
        reference = numpy_impl()
        scale = np.abs(reference).max()
        agreement.append([name, "numpy", f"{np.abs(small - reference).max() / scale:.1e}"])
        one = pairs / median_seconds(lambda: native(1), repeats=3)
        full = pairs / median_seconds(lambda: native(0), repeats=3)
        ref = sub_pairs / median_seconds(numpy_impl, repeats=3)
        row = [name, f"{ref:.3e}", "-", f"{one:.3e}", f"{full:.3e}", f"{full / cores:.3e}", f"{one / ref:.0f}x", "-",
               f"{full / one:.2f}x"]
        if magnetic and magpy is not None:
            mp = magpylib_field(*sub)
            agreement.append([name, "magpylib", f"{np.abs(small - mp).max() / np.abs(mp).max():.1e}"])
            rate = sub_pairs / median_seconds(lambda: magpylib_field(*sub), repeats=3)
            row[2], row[7] = f"{rate:.3e}", f"{one / rate:.0f}x"
        rows.append(row)
    print_table(f"tetrahedra: {args.elements} elements x {args.targets} targets, {cores} cores, pairs/s (median); "
                f"baselines on {sub_e} x {sub_t}",
                ["function", "numpy", "magpylib", "1 thread", "all threads", "per core", "1 thread/numpy",
                 "1 thread/magpylib", "all/1 thread"], rows)
    print_table("agreement on the baseline subset: max |H - H_baseline| / max |H_baseline|",
                ["function", "baseline", "difference"], agreement)


if __name__ == "__main__":
    main()
