"""``python -m zandrel validate``: a linear magnetic sphere in a uniform
applied field, against the analytic solution.

A sphere of susceptibility chi in the uniform field H0 is magnetised
uniformly, M = chi / (1 + chi/3) * H0 (its demagnetising factor is 1/3). The
sphere is meshed with tetrahedra, the self-consistent magnetisation is solved
for with the direct and with the octree field evaluation, and the
volume-weighted mean magnetisation is compared with that value.

Run ``python -m zandrel validate --help`` for the options.
"""
import time

import numpy as np

import _zandrel
from zandrel.capture import captured_fd1
from zandrel.mesh import signed_volumes
from zandrel.meshers import divisions_for, sphere_mesh

DEFAULT_ELEMENTS = 2000
DEFAULT_CHI = (0.5, 2.0, 10.0)


DESCRIPTION = ("Magnetise a meshed sphere of linear material in a uniform field H0 = (0, 0, 1) and compare its "
               "mean magnetisation with the analytic chi/(1+chi/3)*H0, solving with the direct and the octree "
               "field evaluation.")


def add_arguments(p):
    p.add_argument("--elements", type=int, default=DEFAULT_ELEMENTS,
                   help="approximate number of tetrahedra (6 per lattice cell; default %(default)s)")
    p.add_argument("--chi", type=float, nargs="+", default=list(DEFAULT_CHI),
                   help="susceptibilities to solve for (default: %(default)s)")
    p.add_argument("--solvers", nargs="+", choices=("direct", "octree"), default=["direct", "octree"],
                   help="field evaluations to use (default: both)")
    p.add_argument("--theta", type=float, default=0.5, help="octree opening parameter (default %(default)s)")
    p.add_argument("--leaf-threshold", type=int, default=4,
                   help="most elements in an octree leaf, >= 1 (default %(default)s)")
    p.add_argument("--alpha", type=float, default=None,
                   help="relaxation factor (default 2/(2+chi), which converges for every chi > -1)")
    p.add_argument("--rtol", type=float, default=1e-6,
                   help="tolerance relative to chi*|H0| on the change of any component (default %(default)s)")
    p.add_argument("--max-iterations", type=int, default=500, help="iteration limit (default %(default)s)")
    p.add_argument("--threads", type=int, default=0, help="worker threads, 0 = all processors (default)")
    p.add_argument("--verbose", action="store_true", help="also show the solver's progress lines")


def check_arguments(p, args):
    if args.elements < 1:
        p.error("--elements must be at least 1")
    if args.leaf_threshold < 1:
        p.error("--leaf-threshold must be at least 1 (0 would select the direct solver)")
    if any(not chi > -1.0 for chi in args.chi):
        p.error("--chi values must be greater than -1")


def solve(nodes, connectivity, hext, chi, solver, args):
    """One solver run: (magnetisation, field, progress lines, seconds)."""
    alpha = args.alpha if args.alpha is not None else 2.0 / (2.0 + chi)
    tol = args.rtol * abs(chi) * float(np.linalg.norm(hext[0]))
    leaf_threshold = 0 if solver == "direct" else args.leaf_threshold
    with captured_fd1() as lines:
        start = time.perf_counter()
        m, h = _zandrel.magnetization_tet4(nodes, connectivity, chi, hext, tol, args.max_iterations, args.theta,
                                           leaf_threshold, alpha, args.threads, False)
        seconds = time.perf_counter() - start
    return m, h, lines, seconds


def main(args):
    h0 = np.array([0.0, 0.0, 1.0])
    nodes, connectivity = sphere_mesh(1.0, divisions_for(args.elements))
    volumes = signed_volumes(nodes, connectivity)
    hext = np.ascontiguousarray(np.tile(h0, (len(connectivity), 1)))
    print(f"sphere of radius 1: {len(connectivity)} tetrahedra, {len(nodes)} nodes, "
          f"volume / (4/3 pi) = {volumes.sum() / (4.0 / 3.0 * np.pi):.5f}; H0 = (0, 0, 1)")
    if args.verbose:
        print("(progress lines of each run are shown after its row)")

    header = (f"{'solver':>7} {'chi':>8} {'<Mz> computed':>14} {'chi/(1+chi/3)':>14} {'rel. error':>11} "
              f"{'<|M-Ma|>/Ma':>12} {'iterations':>10} {'time [s]':>9}")
    print(header)
    print("-" * len(header))
    for chi in args.chi:
        analytic = chi / (1.0 + chi / 3.0) * h0[2]
        for solver in args.solvers:
            m, _, lines, seconds = solve(nodes, connectivity, hext, chi, solver, args)
            mean = volumes @ m / volumes.sum()
            if analytic != 0.0:
                error = f"{(mean[2] - analytic) / analytic:11.2e}"
                spread = np.linalg.norm(m - analytic * h0, axis=1) @ volumes / volumes.sum() / abs(analytic)
                spread = f"{spread:12.2e}"
            else:
                error, spread = f"{'-':>11}", f"{'-':>12}"
            # The last printed change (rounded to four digits) against the tolerance.
            tol = args.rtol * abs(chi)
            converged = len(lines) < args.max_iterations or (lines and float(lines[-1].rsplit(" ", 1)[1]) <= tol)
            iterations = f"{len(lines)}{'' if converged else '*'}"
            print(f"{solver:>7} {chi:8.3g} {mean[2]:14.6f} {analytic:14.6f} {error} {spread} {iterations:>10} "
                  f"{seconds:9.2f}")
            if args.verbose:
                for line in lines:
                    print("    " + line)
    print("<Mz>: volume-weighted mean; <|M-Ma|>/Ma: mean deviation of the element magnetisations from the "
          "analytic value; * = iteration limit reached")
    if "octree" in args.solvers:
        print(f"octree: theta = {args.theta}, leaf threshold = {args.leaf_threshold}")
    return 0
