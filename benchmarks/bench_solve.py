"""zandrel.solve: accuracy against analytic bodies and peers, iterations and time.

Cases (SI units, one run each; times are wall-clock on all cores):
  1. sphere, chi = 1000, in a uniform field: operator applications to a
     relative residual of 1e-8 as the mesh grows, error of the volume-averaged
     M against 3 chi / (3 + chi) H0; the preconditioners compared;
  2. prolate spheroid (axis ratio 2), chi = 10 and 1000, against the
     analytic demagnetising factors;
  3. saturating iron sphere (B-H curve reaching 2 T) in 1e5 and 1e6 A/m,
     against the scalar equation H_in = H0 - M/3, M = M(H_in);
  4. permanent-magnet cube (mu0 Mr = 1.2 T, chi_r = 0.05), the field above
     it against magpylib-material-response's solve (when installed);
  5. soft cube (chi = 1000): moment and time against
     magpylib-material-response's 4,096 cuboid cells;
  6. the relaxed fixed-point solver magnetization_tet4 (direct and octree)
     on the same sphere meshes;
  7. (--large) a chi = 1000 sphere of about 1e5 elements to 1e-6 with the
     default operator accuracy: build, solve and per-application times.

The field operator is zandrel.FieldOperator when the package has it,
otherwise the exact direct sum of tests/operator_reference.py (O(E^2) per
application: the default sizes keep the whole script at a few minutes).

    PYTHONPATH=<build dir>:python python3 benchmarks/bench_solve.py [--full]
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import _zandrel  # noqa: E402
import zandrel  # noqa: E402
from common import ncores, print_table  # noqa: E402
from mesh_helpers import box_mesh  # noqa: E402
from operator_reference import DirectOperator  # noqa: E402
from solve_cases import iron_curve, mean_magnetization, prolate_factors, scalar_sphere, spheroid_mesh  # noqa: E402
from zandrel.capture import captured_fd1  # noqa: E402

MU0 = zandrel.MU0


def make_operator(mesh):
    if hasattr(zandrel, "FieldOperator"):
        return zandrel.FieldOperator(mesh, accuracy=1e-6)
    return DirectOperator(mesh)


def timed_solve(mesh, materials, applied, operator=None, **options):
    operator = operator or make_operator(mesh)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", zandrel.ConvergenceWarning)
        sol = zandrel.solve(mesh, materials, applied, operator=operator, **options)
    return sol, time.perf_counter() - start


def applications(sol):
    return f"{sol.iterations}{'' if sol.converged else ' (not conv.)'}"


def sphere_case(divisions):
    rows, chi, h0 = [], 1000.0, 1e3
    for n in divisions:
        mesh = zandrel.sphere_mesh(0.01, n)
        sol, seconds = timed_solve(mesh, zandrel.LinearMaterial(chi=chi), (0.0, 0.0, h0), tol=1e-8)
        error = mean_magnetization(sol)[2] / (3 * chi / (3 + chi) * h0) - 1
        rows.append([mesh.n_elements, applications(sol), f"{seconds:.1f}", f"{error:+.2e}"])
    print_table("1. sphere, chi = 1000, H0 = 1e3 A/m, tol 1e-8",
                ["elements", "applications", "time [s]", "error of <M>"], rows)


def preconditioner_case(n):
    mesh = zandrel.sphere_mesh(0.01, n)
    operator = make_operator(mesh)
    rotation = np.array([[0.36, 0.48, -0.8], [-0.8, 0.6, 0.0], [0.48, 0.64, 0.6]])
    up = mesh.centroids[:, 2] > 0
    halves = zandrel.Mesh(*mesh, regions={"iron": np.flatnonzero(up), "magnet": np.flatnonzero(~up)})
    cases = [
        ("chi = 1000", mesh, zandrel.LinearMaterial(chi=1000.0), (1e3, 1e3, 1e3)),
        ("chi = 1e4", mesh, zandrel.LinearMaterial(chi=1e4), (1e3, 1e3, 1e3)),
        ("chi = (10, 100, 1000), rotated", mesh,
         zandrel.LinearMaterial(chi=(10.0, 100.0, 1000.0), axes=rotation), (1e3, 1e3, 1e3)),
        ("half iron (1000), half magnet", halves,
         {"iron": zandrel.LinearMaterial(chi=1000.0),
          "magnet": zandrel.PermanentMagnet(polarization=(0, 0, 1.2), recoil=0.05)}, None),
    ]
    rows = []
    for name, body, materials, applied in cases:
        row = [name]
        for preconditioner in ("scalar", "tensor", "self", "none"):
            sol, _ = timed_solve(body, materials, applied, operator, tol=1e-8, maxiter=1000,
                                 preconditioner=preconditioner)
            row.append(applications(sol))
        rows.append(row)
    print_table(f"   preconditioners: applications to 1e-8, {mesh.n_elements} elements",
                ["case", "scalar (default)", "tensor", "self (exact S)", "none"], rows)


def spheroid_case(n):
    nx, nz = prolate_factors(2.0)
    mesh = spheroid_mesh(n, ratio=2.0, radius=0.01)
    operator = make_operator(mesh)
    rows = []
    for chi in (10.0, 1000.0):
        sol, seconds = timed_solve(mesh, zandrel.LinearMaterial(chi=chi), (1e3, 0.0, 1e3), operator, tol=1e-8)
        m = mean_magnetization(sol) / 1e3
        rows.append([f"{chi:g}", mesh.n_elements, applications(sol), f"{seconds:.1f}",
                     f"{m[0] / (chi / (1 + chi * nx)) - 1:+.2e}", f"{m[2] / (chi / (1 + chi * nz)) - 1:+.2e}"])
    print_table(f"2. prolate spheroid c/a = 2 (N_x = {nx:.5f}, N_z = {nz:.5f}), H0 = (1, 0, 1) kA/m, tol 1e-8",
                ["chi", "elements", "applications", "time [s]", "error of <Mx>", "error of <Mz>"], rows)


def saturation_case(n):
    iron = iron_curve()
    mesh = zandrel.sphere_mesh(0.01, n)
    operator = make_operator(mesh)
    rows = []
    for h0 in (1e4, 1e5, 1e6):
        sol, seconds = timed_solve(mesh, iron, (0.0, 0.0, h0), operator, tol=1e-6, maxiter=1000)
        expected = scalar_sphere(iron, h0)
        rows.append([f"{h0:g}", mesh.n_elements, applications(sol), sol.newton_steps, f"{seconds:.1f}",
                     f"{expected:.5g}", f"{mean_magnetization(sol)[2] / expected - 1:+.2e}"])
    print_table("3. iron sphere, B-H curve to 2.25 T (chi_initial 5000), tol 1e-6",
                ["H0 [A/m]", "elements", "applications", "Newton steps", "time [s]", "M scalar [A/m]",
                 "error of <M>"], rows)


def magnet_points():
    return np.array([[0.0, 0.0, 0.006], [0.0, 0.0, 0.008], [0.0, 0.0, 0.015], [0.003, 0.002, 0.007],
                     [0.006, 0.0, 0.004]])


def cube_mesh(n, side=0.01):
    half = side / 2
    return zandrel.Mesh(*box_mesh(n, (-half, -half, -half), (half, half, half)))


def magnet_case(n, cells):
    points = magnet_points()
    magnet = zandrel.PermanentMagnet(polarization=(0.0, 0.0, 1.2), recoil=0.05)
    sol, seconds = timed_solve(cube_mesh(n), magnet, None, tol=1e-10)
    ours = sol.field(points)
    ideal = zandrel.solve(cube_mesh(n), zandrel.PermanentMagnet(polarization=(0, 0, 1.2)),
                          operator=make_operator(cube_mesh(n))).field(points)
    rows = []
    peer, peer_seconds = magpylib_magnet(points, cells)
    for k, p in enumerate(points):
        row = [f"({p[0] * 1e3:g}, {p[1] * 1e3:g}, {p[2] * 1e3:g})", f"{np.linalg.norm(ours[k]):.6g}",
               f"{np.linalg.norm(ours[k] - ideal[k]) / np.linalg.norm(ideal[k]):.2e}"]
        if peer is not None:
            row.append(f"{np.linalg.norm(ours[k] - peer[k]) / np.linalg.norm(peer[k]):.2e}")
        rows.append(row)
    header = ["point [mm]", "|H| ours [A/m]", "recoil effect"]
    if peer is not None:
        header.append(f"|ours - mmr| / |mmr| ({cells} cells)")
    print_table(f"4. magnet cube 10 mm, mu0 Mr = 1.2 T, chi_r = 0.05: {sol.mesh.n_elements} tetrahedra, "
                f"{applications(sol)} applications, {seconds:.1f} s"
                + (f"; magpylib-material-response {peer_seconds:.1f} s" if peer is not None else
                   "; magpylib-material-response not installed"), header, rows)


def magpylib_magnet(points, cells, chi=0.05, polarization=(0.0, 0.0, 1.2), applied=None):
    """The peer's solve of a 10 mm cube: field at the points (A/m) and its time; None when not installed."""
    try:
        import magpylib as magpy
        from magpylib_material_response.demag import apply_demag
        from magpylib_material_response.meshing import mesh_Cuboid
    except ImportError:
        return None, 0.0
    cube = magpy.magnet.Cuboid(dimension=(0.01, 0.01, 0.01), polarization=polarization)
    collection = mesh_Cuboid(cube, cells)
    if applied is not None:
        for cell in collection.sources_all:
            cell.H_ext = tuple(MU0 * np.asarray(applied))  # the peer takes mu0 H in T
    start = time.perf_counter()
    solved = apply_demag(collection, susceptibility=chi, solver_tol=1e-8)
    seconds = time.perf_counter() - start
    if points is None:
        return solved, seconds
    return solved.getH(points), seconds


def soft_cube_case(divisions, cell_counts):
    h0, rows = 1e3, []
    for n in divisions:
        sol, seconds = timed_solve(cube_mesh(n), zandrel.LinearMaterial(chi=1000.0), (0.0, 0.0, h0), tol=1e-8)
        rows.append(["zandrel", f"{sol.mesh.n_elements} tetrahedra", applications(sol), f"{seconds:.1f}",
                     f"{mean_magnetization(sol)[2] / h0:.5f}"])
    for cells in cell_counts:
        peer, peer_seconds = magpylib_magnet(None, cells, chi=1000.0, polarization=(0.0, 0.0, 0.0),
                                             applied=(0.0, 0.0, h0))
        if peer is not None:
            mean = np.mean([cell.polarization[2] for cell in peer.sources_all]) / MU0 / h0
            rows.append(["magpylib-material-response", f"{cells} cuboids", "-", f"{peer_seconds:.1f}",
                         f"{mean:.5f}"])
    print_table("5. soft cube 10 mm, chi = 1000, H0 = 1 kA/m along z: mean M / H0",
                ["solver", "cells", "applications", "time [s]", "<Mz> / H0"], rows)


def relaxed_case(divisions, max_iterations):
    rows = []
    for n in divisions:
        mesh = zandrel.sphere_mesh(0.01, n)
        hext = np.ascontiguousarray(np.tile([0.0, 0.0, 1e3], (mesh.n_elements, 1)))
        for chi in (10.0, 1000.0):
            expected = chi / (1 + chi / 3) * 1e3
            sol, seconds = timed_solve(mesh, zandrel.LinearMaterial(chi=chi), (0.0, 0.0, 1e3), tol=1e-6)
            rows.append([mesh.n_elements, f"{chi:g}", "zandrel.solve", applications(sol), f"{seconds:.2f}",
                         f"{mean_magnetization(sol)[2] / expected - 1:+.2e}"])
            for name, leaf in (("relaxed, direct", 0), ("relaxed, octree", 4)):
                with captured_fd1() as lines:
                    start = time.perf_counter()
                    m, _ = _zandrel.magnetization_tet4(mesh.nodes, mesh.elements, chi, hext, 1e-6 * chi * 1e3,
                                                       max_iterations, 0.5, leaf, 2.0 / (2.0 + chi), 0, False)
                    seconds = time.perf_counter() - start
                done = len(lines) < max_iterations
                mean = mesh.volumes @ m[:, 2] / mesh.volumes.sum()
                rows.append([mesh.n_elements, f"{chi:g}", name, f"{len(lines)}{'' if done else ' (limit)'}",
                             f"{seconds:.2f}", f"{mean / expected - 1:+.2e}"])
    print_table(f"6. against magnetization_tet4 (alpha = 2/(2+chi), change tol 1e-6 chi |H0|), sphere, "
                f"H0 = 1 kA/m; zandrel.solve to 1e-6", ["elements", "chi", "solver", "iterations", "time [s]",
                                                       "error of <M>"], rows)


def large_case(divisions):
    rows, chi, h0 = [], 1000.0, 1e3
    for n in divisions:
        mesh = zandrel.sphere_mesh(0.01, n)
        start = time.perf_counter()
        operator = zandrel.FieldOperator(mesh)
        build = time.perf_counter() - start
        sol, seconds = timed_solve(mesh, zandrel.LinearMaterial(chi=chi), (0.0, 0.0, h0), operator=operator, tol=1e-6)
        error = mean_magnetization(sol)[2] / (3 * chi / (3 + chi) * h0) - 1
        rows.append([mesh.n_elements, f"{build:.1f}", applications(sol), f"{seconds:.1f}",
                     f"{seconds / sol.iterations:.2f}", f"{build + seconds:.1f}", f"{error:+.2e}"])
    print_table("7. sphere, chi = 1000, default operator accuracy (1e-3), tol 1e-6",
                ["elements", "build [s]", "applications", "solve [s]", "per application [s]", "total [s]",
                 "error of <M>"], rows)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--full", action="store_true", help="the sizes of the accuracy targets (about 1e4 elements)")
    p.add_argument("--large", action="store_true", help="only case 7: a chi = 1000 sphere of about 1e5 elements")
    args = p.parse_args()
    if args.large:
        print(f"zandrel.solve, {ncores()} cores\n")
        return large_case([16, 26])
    operator = "zandrel.FieldOperator (accuracy 1e-6)" if hasattr(zandrel, "FieldOperator") else \
        "direct sum (tests/operator_reference.py)"
    print(f"zandrel.solve, {ncores()} cores, operator: {operator}\n")
    large = 12 if args.full else 8
    sphere_case([4, 6, 8, 12] if args.full else [4, 6, 8])
    preconditioner_case(6)
    spheroid_case(large)
    saturation_case(large)
    magnet_case(8 if args.full else 6, 32768 if args.full else 4096)
    soft_cube_case([6, 8, 10] if args.full else [6], [4096, 32768] if args.full else [4096])
    relaxed_case([5, 6], 1500 if args.full else 300)


if __name__ == "__main__":
    main()
