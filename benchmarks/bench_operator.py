"""The reusable field operator (zandrel.FieldOperator) against the direct
face-formulation sum, in the same process.

1. Throughput at the default accuracy: jittered boxes of E elements (six
   tetrahedra per cube), targets = the centroids, all cores. Build time, and
   apply time (medians of repeats) with the CPU time per target and the
   operator's equivalent pairs per second (E x E element-target interactions
   per second of one application); the direct face sum of h_mag_tet4 timed on
   a subset of the targets (median of repeats) and scaled to all of them, its
   pairs per second, and the ratio of the two times; memory per element held
   by the operator and used by one application; the operator's error against
   the direct sum on the subset.
2. Accuracy table: every accuracy level on a jittered box and a ball, for
   uniform, random and vortex magnetisations; the reference is the direct
   face sum for levels >= 1e-4 and the closed form with the library's exact
   arctangent and logarithm (the operator's own near field with every element
   near) below.

3. Memory limit: a jittered box stretched to cells of aspect 4:2:1, whose
   elements' near zones hold about three times the pairs of cubic cells',
   without a limit and at the default max_bytes_per_element (2000): bytes
   per element held, the share of near pairs computed per application, apply
   time and error against the direct sum.

Errors are relative RMS: sqrt(mean |H - H_ref|^2) / sqrt(mean |H_ref|^2).
Run: python benchmarks/bench_operator.py [--sizes 10000 100000]
     [--accuracy-size 10000] [--elongated-size 24000] [--repeats 5]
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import statistics
import sys
import time

import numpy as np

import _zandrel
import zandrel
from zandrel import _operator
from zandrel.operator import ACCURACY_TABLE, DEFAULT_MAX_BYTES_PER_ELEMENT
from common import ncores, print_table

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from mesh_helpers import box_mesh  # noqa: E402

SUBSET = 2000


def jittered_box(elements, seed=1):
    n = max(2, round((elements / 6) ** (1 / 3)))
    nodes, conn = box_mesh(n)
    inside = np.all((nodes > 1e-9) & (nodes < 1 - 1e-9), axis=1)
    nodes = nodes.copy()
    nodes[inside] += np.random.default_rng(seed).uniform(-0.2 / n, 0.2 / n, (inside.sum(), 3))
    return nodes, conn


def magnetisations(centroids):
    c = centroids - centroids.mean(axis=0)
    e = len(c)
    return {"uniform": np.tile([0.0, 0.0, 1.0], (e, 1)),
            "random": np.random.default_rng(0).normal(size=(e, 3)),
            "vortex": np.ascontiguousarray(np.stack([-c[:, 1], c[:, 0], 0.3 * np.ones(e) * np.abs(c).max()], 1))}


def rel_rms(h, ref):
    return float(np.sqrt(((h - ref) ** 2).sum() / (ref ** 2).sum()))


def timed(fn, repeats=3):
    times, cpu, result = [], [], None
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(times), statistics.median(cpu), result


def subset_of(n):
    return np.sort(np.random.default_rng(5).choice(n, min(SUBSET, n), replace=False))


def speed(sizes, repeats):
    rows = []
    for size in sizes:
        nodes, conn = jittered_box(size)
        e = len(conn)
        centroids = _zandrel.mesh_centroids(nodes, conn)
        m = magnetisations(centroids)["random"]
        build, _, op = timed(lambda: zandrel.FieldOperator((nodes, conn)), repeats=max(1, repeats // 2))
        apply_s, apply_cpu, h = timed(lambda: op.apply(m), repeats=repeats)
        info = op.info()
        sub = subset_of(e)
        direct_sub, _, ref = timed(lambda: _zandrel.h_mag_tet4(nodes, conn, m, centroids[sub], 0.5, 1, 0, False,
                                                                False), repeats=repeats)
        direct_s = direct_sub * e / len(sub)
        row = [e, f"{build:.2f}", f"{e / build:.2e}", f"{apply_s:.3f}", f"{apply_cpu / e * 1e6:.1f}",
               f"{e * e / apply_s:.2e}", f"{direct_s:.1f}", f"{e * len(sub) / direct_sub:.2e}",
               f"{direct_s / apply_s:.0f}", f"{info['operator_bytes'] / e:.0f}",
               f"{info['apply_workspace_bytes'] / e:.0f}", f"{rel_rms(h[sub], ref):.1e}"]
        rows.append(row)
        print(" ".join(str(c) for c in row), flush=True)
    print_table(f"Field operator at the centroids, default accuracy 1e-3, {ncores()} cores (medians; apply: "
                "wall seconds, CPU us per target, equivalent pairs/s; direct: face sum on "
                f"{SUBSET} targets scaled to all)",
                ["E", "build s", "build elem/s", "apply s", "cpu us/t", "apply pairs/s", "direct s",
                 "direct pairs/s", "direct/apply", "B/elem", "apply B/elem", "error"],
                rows)


def accuracy_table(size):
    meshes = {"box": jittered_box(size)}
    nodes, conn = zandrel.sphere_mesh(radius=0.05, divisions=max(2, round((size / 6) ** (1 / 3))))
    meshes["ball"] = (nodes, conn)
    rows = []
    for name, (nodes, conn) in meshes.items():
        e = len(conn)
        centroids = _zandrel.mesh_centroids(nodes, conn)
        sub = subset_of(e)
        # Every element in the inner zone: the closed form with exact functions, nothing expanded.
        exact = _operator.build(nodes, conn, sub.astype(np.uint32), 2, 0.0, 1e300, 1e300, 1, True, False, False,
                                12, 12, 0.0, 0)
        for level in [row[0] for row in ACCURACY_TABLE if row[0] > 0]:
            op = zandrel.FieldOperator((nodes, conn), accuracy=level, rows=sub)
            errs, cpu = [], []
            for m in magnetisations(centroids).values():
                if level >= 1e-4:
                    ref = _zandrel.h_mag_tet4(nodes, conn, m, centroids[sub], 0.5, 1, 0, False, False)
                else:
                    ref = _operator.apply(exact, m)
                start = time.process_time()
                h = op.apply(m)
                cpu.append(time.process_time() - start)
                errs.append(rel_rms(h, ref))
            rows.append([name, e, f"{level:g}", "direct" if level >= 1e-4 else "exact",
                         *(f"{x:.1e}" for x in errs), f"{statistics.median(cpu) / len(sub) * 1e6:.0f}"])
            print(rows[-1], flush=True)
    print_table("Accuracy: relative RMS error at the centroids (subset), uniform / random / vortex M",
                ["mesh", "E", "accuracy", "reference", "uniform", "random", "vortex", "cpu us/t"], rows)


def memory_limit(size, repeats):
    nodes, conn = jittered_box(size)
    nodes = nodes * [2.0, 1.0, 0.5]
    e = len(conn)
    centroids = _zandrel.mesh_centroids(nodes, conn)
    m = magnetisations(centroids)["vortex"]
    sub = subset_of(e)
    ref = _zandrel.h_mag_tet4(nodes, conn, m, centroids[sub], 0.5, 1, 0, False, False)
    rows = []
    for limit in (None, DEFAULT_MAX_BYTES_PER_ELEMENT):
        build, _, op = timed(lambda: zandrel.FieldOperator((nodes, conn), max_bytes_per_element=limit), repeats=1)
        apply_s, apply_cpu, h = timed(lambda: op.apply(m), repeats=repeats)
        info = op.info()
        rows.append([e, "none" if limit is None else f"{limit:.0f}", f"{info['operator_bytes'] / e:.0f}",
                     f"{info['computed_near_pairs'] / info['near_pairs']:.2f}", f"{build:.2f}", f"{apply_s:.3f}",
                     f"{apply_cpu / e * 1e6:.1f}", f"{rel_rms(h[sub], ref):.1e}"])
        print(rows[-1], flush=True)
    print_table("Memory limit: jittered box of 4:2:1 cells, default accuracy, vortex M (medians)",
                ["E", "limit B/elem", "B/elem", "computed share", "build s", "apply s", "cpu us/t", "error"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--accuracy-size", type=int, default=10000)
    parser.add_argument("--elongated-size", type=int, default=24000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    speed(args.sizes, args.repeats)
    accuracy_table(args.accuracy_size)
    memory_limit(args.elongated_size, args.repeats)


if __name__ == "__main__":
    main()
