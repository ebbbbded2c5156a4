"""Barnes-Hut octree against the direct sum (and a Laplace FMM).

1. Point dipoles in the unit cube, targets = sources, each source the volume
   1/N (the spheres fill the cube, as mesh centroids and volumes would),
   aligned or random unit magnetisations: build time (a call with no
   targets), evaluation time, the direct sum's time (timed on a subset of the
   targets and scaled when N is large) and the octree's error against it on
   that subset.
2. The same clouds with tiny volumes (pure point dipoles) beside fmm3dpy's
   Laplace FMM (`lfmm3d` with dipoles, gradient at the sources) when it is
   importable: time and error of both against the exact sum, the own
   source's term left out.
3. Uniformly magnetised tetrahedral meshes (a box of cubes, six tetrahedra
   each, nodes jittered), targets = element centroids: h_mag_tet4 with the
   octree against its direct face-formulation sum.

Errors are relative: RMS of |H - H_exact| over RMS of |H_exact|, and the
largest |H - H_exact| over the largest |H_exact|.
Run: python benchmarks/bench_octree.py [--sizes 10000 100000 1000000]
     [--theta 0.5] [--leaf 8] [--tet-sizes 10000 100000] [--tet-leaf 4]
"""
import os

# NumPy's BLAS threads keep spinning on the other core after a baseline call
# and would steal it from the parallel measurements; baselines run on one core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import time

import numpy as np

import _zandrel
from common import ncores, print_table

try:
    import fmm3dpy
except ImportError:
    fmm3dpy = None

SUBSET = 2000  # targets timed and checked against the direct sum


def seconds(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def errors(h, exact):
    err = np.linalg.norm(h - exact, axis=1)
    size = np.linalg.norm(exact, axis=1)
    return np.sqrt(np.mean(err**2) / np.mean(size**2)), err.max() / size.max()


def moments(rng, n, kind):
    if kind == "aligned":
        return np.tile([0.0, 0.0, 1.0], (n, 1))
    m = rng.normal(size=(n, 3))
    return m / np.linalg.norm(m, axis=1)[:, None]


def point_dipoles(sizes, theta, leaf):
    rows = []
    for n in sizes:
        rng = np.random.default_rng(n)
        c = rng.uniform(0.0, 1.0, size=(n, 3))
        v = np.full(n, 1.0 / n)
        repeats = 3 if n <= 100_000 else 1
        for kind in ("aligned", "random"):
            m = moments(rng, n, kind)
            build = seconds(lambda: _zandrel.h_mag_point(c, v, m, c[:0], theta, leaf, 0, True), repeats)
            h = None

            def octree():
                nonlocal h
                h = _zandrel.h_mag_point(c, v, m, c, theta, leaf, 0, True)

            total = seconds(octree, repeats)
            sub = c[:min(n, SUBSET)]
            direct = seconds(lambda: _zandrel.h_mag_point(c, v, m, sub, 0.0, 0, 0, False), 1) * n / len(sub)
            exact = _zandrel.h_mag_point(c, v, m, sub, 0.0, 0, 0, False)
            rms, worst = errors(h[:len(sub)], exact)
            rows.append([n, kind, f"{build:.3f}", f"{total - build:.3f}", f"{total:.3f}", f"{direct:.1f}",
                         f"{direct / total:.0f}x", f"{rms:.1e}", f"{worst:.1e}"])
    print_table(f"point dipoles, targets = sources, theta {theta}, leaf_threshold {leaf}, {ncores()} cores "
                f"(direct time from {SUBSET} targets when N is larger)",
                ["N", "moments", "build s", "eval s", "octree s", "direct s", "speedup", "rms err", "max err"], rows)


def own_term(v, mvec):
    """The field a dipole gives at its own centre (inside its sphere): -M/3,
    formed as the kernels form it."""
    radius = np.power(v * 0.238732414637843, 0.3333333333333333)
    moment = mvec * v[:, None]
    return (moment * (3.0 / (12.566370614359172 * (radius * radius * radius)))[:, None]) * -0.3333333333333333


def versus_fmm(sizes, theta, leaf):
    if fmm3dpy is None:
        print("fmm3dpy is not importable: FMM comparison skipped\n")
        return
    rows = []
    for n in sizes:
        rng = np.random.default_rng(n + 1)
        c = rng.uniform(0.0, 1.0, size=(n, 3))
        # Tiny volumes: no target lies inside another source's sphere, so
        # both methods see the same point dipoles (moments m).
        v = np.full(n, 1e-9 / n)
        for kind in ("aligned", "random"):
            m = moments(rng, n, kind)
            mvec = m / v[:, None]
            sub = c[:min(n, SUBSET)]
            exact = _zandrel.h_mag_point(c, v, mvec, sub, 0.0, 0, 0, False) - own_term(v[:len(sub)], mvec[:len(sub)])
            for th in sorted({theta, 0.3, 0.2}, reverse=True):
                h = None

                def octree(th=th):
                    nonlocal h
                    h = _zandrel.h_mag_point(c, v, mvec, c, th, leaf, 0, True)

                t = seconds(octree, 1)
                rms, worst = errors(h[:len(sub)] - own_term(v[:len(sub)], mvec[:len(sub)]), exact)
                rows.append([n, kind, f"octree theta {th}", f"{t:.3f}", f"{rms:.1e}", f"{worst:.1e}"])
            for eps in (1e-3, 1e-4):
                out = None

                def fmm(eps=eps):
                    nonlocal out
                    out = fmm3dpy.lfmm3d(eps=eps, sources=c.T.copy(), dipvec=m.T.copy(), pg=2)

                t = seconds(fmm, 1)
                rms, worst = errors(-out.grad.T[:len(sub)], exact)
                rows.append([n, kind, f"fmm3dpy eps {eps:g}", f"{t:.3f}", f"{rms:.1e}", f"{worst:.1e}"])
    print_table(f"point dipoles against a Laplace FMM (fmm3dpy {fmm3dpy.__version__}), targets = sources, "
                f"leaf_threshold {leaf}, {ncores()} cores", ["N", "moments", "method", "time s", "rms err", "max err"],
                rows)


def box_mesh(n, rng):
    """The unit cube cut into n^3 cells of six positively oriented tetrahedra,
    every node moved at random by up to 15 % of the cell size, so that the
    elements are irregular as in a real mesh."""
    g = np.linspace(0.0, 1.0, n + 1)
    x, y, z = np.meshgrid(g, g, g, indexing="ij")
    nodes = np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1)
    nodes = nodes + rng.uniform(-0.15, 0.15, size=nodes.shape) / n
    i, j, k = (a.ravel() for a in np.meshgrid(*(np.arange(n),) * 3, indexing="ij"))

    def node(di, dj, dk):
        return ((i + di) * (n + 1) + (j + dj)) * (n + 1) + (k + dk)

    c = [node(a & 1, (a >> 1) & 1, (a >> 2) & 1) for a in range(8)]
    tets = [(c[0], c[1], c[3], c[7]), (c[0], c[5], c[1], c[7]), (c[0], c[3], c[2], c[7]),
            (c[0], c[2], c[6], c[7]), (c[0], c[4], c[5], c[7]), (c[0], c[6], c[4], c[7])]
    conn = np.stack([np.stack(t, axis=1) for t in tets], axis=1).reshape(-1, 4).astype(np.uint32)
    return nodes, conn


def tetrahedra(sizes, theta, leaf):
    rows = []
    for elements in sizes:
        n = max(1, round((elements / 6) ** (1 / 3)))
        rng = np.random.default_rng(n)
        nodes, conn = box_mesh(n, rng)
        e = len(conn)
        cent = _zandrel.mesh_centroids(nodes, conn)
        for kind in ("aligned", "random"):
            m = moments(rng, e, kind)
            build = seconds(lambda: _zandrel.h_mag_tet4(nodes, conn, m, cent[:0], theta, leaf, 0, True, False), 1)
            h = None

            def octree():
                nonlocal h
                h = _zandrel.h_mag_tet4(nodes, conn, m, cent, theta, leaf, 0, True, False)

            total = seconds(octree, 1)
            sub = cent[::max(1, e // SUBSET)]
            direct = seconds(lambda: _zandrel.h_mag_tet4(nodes, conn, m, sub, 0.0, 0, 0, False, False), 1)
            direct *= e / len(sub)
            exact = _zandrel.h_mag_tet4(nodes, conn, m, sub, 0.0, 0, 0, False, False)
            rms, worst = errors(h[::max(1, e // SUBSET)], exact)
            rows.append([e, kind, f"{build:.3f}", f"{total - build:.2f}", f"{total:.2f}", f"{direct:.1f}",
                         f"{direct / total:.1f}x", f"{rms:.1e}", f"{worst:.1e}"])
    print_table(f"uniformly magnetised tetrahedra (irregular box mesh), targets = centroids, theta {theta}, "
                f"leaf_threshold {leaf}, {ncores()} cores (direct: face formulation)",
                ["E", "moments", "build s", "eval s", "octree s", "direct s", "speedup", "rms err", "max err"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--fmm-sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--tet-sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--theta", type=float, default=0.5)
    parser.add_argument("--leaf", type=int, default=8)
    parser.add_argument("--tet-leaf", type=int, default=4)
    args = parser.parse_args()
    point_dipoles(args.sizes, args.theta, args.leaf)
    versus_fmm(args.fmm_sizes, args.theta, args.leaf)
    tetrahedra(args.tet_sizes, args.theta, args.tet_leaf)


if __name__ == "__main__":
    main()
