"""Throughput of the mesh boundary extraction and the Kelvin force density.

Meshes are structured boxes of cubes, each cut into six tetrahedra, with
about 1e5 and 1e6 elements. mesh_surface_faces is timed on the natural
element order (cube by cube, as a mesher writes a structured block) and on a
random permutation of the elements (the worst case for the set of unmatched
faces that the extraction has to keep). Prints elements per second, the
median of the repeats.

    python3 benchmarks/bench_mesh.py [--repeats N] [--sizes 1e5 1e6]
"""
import os

# NumPy's BLAS threads keep spinning on the other core after a baseline call
# and would steal it from the parallel measurements; baselines run on one core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import itertools

import numpy as np

import _zandrel
from common import median_seconds, print_table


def box_mesh(n):
    """n^3 unit cubes, six positively oriented tetrahedra each (Freudenthal)."""
    g = np.arange(n + 1, dtype=np.float64)
    x, y, z = np.meshgrid(g, g, g, indexing="ij")
    nodes = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    i, j, k = (a.ravel() for a in np.meshgrid(*(np.arange(n),) * 3, indexing="ij"))

    def node(di, dj, dk):
        return ((i + di) * (n + 1) + (j + dj)) * (n + 1) + (k + dk)

    unit = np.eye(3, dtype=int)
    tets = []
    for perm in itertools.permutations(range(3)):
        steps = np.cumsum(unit[list(perm)], axis=0)
        path = [node(0, 0, 0)] + [node(*s) for s in steps]
        if np.linalg.det(unit[list(perm)]) < 0:
            path[2], path[3] = path[3], path[2]
        tets.append(np.stack(path, axis=1))
    conn = np.stack(tets, axis=1).reshape(-1, 4).astype(np.uint32)
    return nodes, conn


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", type=float, nargs="+", default=[1e5, 1e6])
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    rows = []
    for size in args.sizes:
        n = max(1, round((size / 6) ** (1 / 3)))
        nodes, conn = box_mesh(n)
        e = conn.shape[0]
        shuffled = np.ascontiguousarray(conn[rng.permutation(e)])
        m = rng.standard_normal((e, 3))
        h = rng.standard_normal((nodes.shape[0], 3))
        cases = [
            ("mesh_surface_faces", "box order", lambda: _zandrel.mesh_surface_faces(conn)),
            ("mesh_surface_faces", "shuffled", lambda: _zandrel.mesh_surface_faces(shuffled)),
            ("mesh_kelvin_force_density", "box order", lambda: _zandrel.mesh_kelvin_force_density(nodes, conn, m, h)),
        ]
        for name, order, fn in cases:
            t = median_seconds(fn, repeats=args.repeats)
            rows.append((name, e, order, f"{t:.4f}", f"{e / t:.3e}"))

    print_table("mesh functions on structured boxes, elements/s (median, calling thread only)",
                ("function", "elements", "order", "median s", "elements/s"), rows)


if __name__ == "__main__":
    main()
