"""Magnetisation solver: time per iteration and time to converge.

A unit sphere of linear material (chi, default 3) in H0 = (0, 0, 1), meshed
with about 2,000, 10,000 and 50,000 tetrahedra, solved with the direct field
evaluation (one M x M tetrahedron summation per iteration) and with the
octree (tree rebuilt every iteration). Relaxation alpha = 2/(2+chi), tolerance
rtol * chi. Prints iterations, seconds per iteration, total seconds and the
error of the volume-weighted mean magnetisation against chi/(1+chi/3).

Direct solves above --direct-limit elements are not run to convergence: one
iteration is timed and the total is estimated as that time multiplied by the
octree's iteration count at the same size (marked "est.").

    PYTHONPATH=<build dir>:python python3 benchmarks/bench_solver.py [--sizes 2000 10000 50000] [--chi 3]
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
from zandrel.capture import captured_fd1
from zandrel.mesh import signed_volumes
from zandrel.meshers import divisions_for, sphere_mesh


def run(nodes, conn, hext, chi, args, leaf_threshold, max_iterations):
    alpha = 2.0 / (2.0 + chi)
    with captured_fd1() as lines:
        start = time.perf_counter()
        m, _ = _zandrel.magnetization_tet4(nodes, conn, chi, hext, args.rtol * chi, max_iterations, args.theta,
                                           leaf_threshold, alpha, args.threads, False)
        seconds = time.perf_counter() - start
    return m, len(lines), seconds


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", type=float, nargs="+", default=[2e3, 1e4, 5e4], help="approximate element counts")
    p.add_argument("--chi", type=float, default=3.0)
    p.add_argument("--rtol", type=float, default=1e-6)
    p.add_argument("--theta", type=float, default=0.5)
    p.add_argument("--leaf-threshold", type=int, default=4)
    p.add_argument("--threads", type=int, default=0)
    p.add_argument("--max-iterations", type=int, default=500)
    p.add_argument("--direct-limit", type=float, default=2e4,
                   help="largest mesh solved directly to convergence (default %(default)g)")
    args = p.parse_args()

    chi = args.chi
    analytic = chi / (1.0 + chi / 3.0)
    rows = []
    for size in args.sizes:
        nodes, conn = sphere_mesh(1.0, divisions_for(int(size)))
        volumes = signed_volumes(nodes, conn)
        hext = np.ascontiguousarray(np.tile([0.0, 0.0, 1.0], (len(conn), 1)))
        count = len(conn)

        m, iters, seconds = run(nodes, conn, hext, chi, args, args.leaf_threshold, args.max_iterations)
        tree_mean = volumes @ m[:, 2] / volumes.sum()
        rows.append([count, f"octree theta={args.theta:g}", iters, f"{seconds / iters:.3g}", f"{seconds:.3g}",
                     f"{(tree_mean - analytic) / analytic:+.2e}"])

        if count <= args.direct_limit:
            m, d_iters, seconds = run(nodes, conn, hext, chi, args, 0, args.max_iterations)
            direct_mean = volumes @ m[:, 2] / volumes.sum()
            rows.append([count, "direct", d_iters, f"{seconds / d_iters:.3g}", f"{seconds:.3g}",
                         f"{(direct_mean - analytic) / analytic:+.2e}"])
        else:
            _, one, seconds = run(nodes, conn, hext, chi, args, 0, 1)
            rows.append([count, "direct", f"{iters} est.", f"{seconds:.3g}", f"{seconds * iters:.3g} est.", "-"])

    print_table(f"magnetization_tet4, unit sphere, chi = {chi:g}, alpha = 2/(2+chi), tol = {args.rtol:g}*chi, "
                f"leaf threshold {args.leaf_threshold}, {ncores()} cores",
                ["elements", "solver", "iterations", "s/iteration", "total s", "error of <Mz>"], rows)


if __name__ == "__main__":
    main()
