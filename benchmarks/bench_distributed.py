"""zandrel.distributed on a local Dask cluster against the local call.

1. Field evaluation (h_mag_tet4, direct sum): the overhead per chunk
   (worker-seconds of a chunk whose work is nil: one source element), the
   chunk size at which it falls below 5 % of the chunk's work (from the
   single-threaded pair rate), and the throughput of two single-threaded
   worker processes against the local call with two threads.
2. One solver iteration (DistributedOperator.apply: M shipped to both
   workers, H of each worker's rows gathered) against the local operator's
   apply with two threads, for growing meshes; the overhead per application.

The operator is zandrel.FieldOperator when the package has it, otherwise the
exact direct sum of tests/operator_reference.py. Medians of repeats; the
cluster and the baselines run in the same process run.

    PYTHONPATH=python python3 benchmarks/bench_distributed.py [--elements E] [--targets T]
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import sys  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import cloudpickle  # noqa: E402
import distributed  # noqa: E402

import operator_reference  # noqa: E402
import zandrel  # noqa: E402
import zandrel.distributed as zd  # noqa: E402
from common import median_seconds, print_table  # noqa: E402
from operator_reference import DirectOperator  # noqa: E402

cloudpickle.register_pickle_by_value(operator_reference)


def operator_class():
    return getattr(zandrel, "FieldOperator", None) or DirectOperator


def local_operator(mesh, threads):
    cls = operator_class()
    return cls(mesh, accuracy=1e-3, threads=threads) if cls is not DirectOperator else cls(mesh, threads)


def field_evaluation(client, elements, targets, repeats):
    rng = np.random.default_rng(3)
    mesh = zandrel.box_mesh((0.1, 0.1, 0.1), zandrel.divisions_for(elements))
    m = rng.normal(size=(mesh.n_elements, 3)) * 1e5
    points = rng.uniform(-0.1, 0.2, size=(targets, 3))
    one = median_seconds(lambda: zandrel.h_mag_tet4(*mesh, m, points, threads=1), repeats)
    two = median_seconds(lambda: zandrel.h_mag_tet4(*mesh, m, points, threads=2), repeats)
    rate = mesh.n_elements * targets / one  # pairs per second per core
    print(f"h_mag_tet4, {mesh.n_elements} elements x {targets} targets: local 1 thread {one:.3f} s "
          f"({rate:.3g} pairs/s), 2 threads {two:.3f} s")
    call = median_seconds(lambda: zd.h_mag_tet4(*mesh, m, points[:2], client=client), repeats)
    print(f"one call at 2 targets (sources scattered, one task, result gathered): {1e3 * call:.1f} ms\n")

    # The cost of a chunk without its work: one source element, the same
    # targets in ever more chunks; the slope of the time over the number of
    # chunks (times the two workers) is the worker time per chunk, free of
    # the call's fixed cost.
    single = (mesh.nodes, mesh.elements[:1], m[:1])
    rows, counts, times = [], [], []
    for chunk in (256, 512, 1024, 2048, 4096):
        seconds = median_seconds(lambda: zd.h_mag_tet4(*single, points, client=client, chunk_size=chunk), repeats)
        counts.append(-(-targets // chunk))
        times.append(seconds)
        rows.append((chunk, counts[-1], f"{seconds:.3f}"))
    overhead = 2 * np.polyfit(counts, times, 1)[0]
    print_table(f"chunks without work (one source element): {1e3 * overhead:.2f} ms of worker time per chunk",
                ["chunk", "chunks", "2 workers s"], rows)
    pairs = overhead * rate / 0.05
    print(f"overhead below 5 % from {pairs:.3g} source-target pairs per chunk: "
          f"{pairs / mesh.n_elements:.0f} targets of this mesh\n")

    rows = []
    for chunk in (1024, 4096, 16384, None):
        seconds = median_seconds(lambda: zd.h_mag_tet4(*mesh, m, points, client=client, chunk_size=chunk), repeats)
        rows.append((chunk or "default", f"{seconds:.3f}", f"{two / seconds:.2f}"))
    print_table("2 single-threaded workers against the local call with 2 threads",
                ["chunk", "2 workers s", "throughput vs local"], rows)


def solver_iteration(client, sizes, repeats):
    rows = []
    for elements in sizes:
        mesh = zandrel.box_mesh((0.1, 0.1, 0.1), zandrel.divisions_for(elements))
        m = np.random.default_rng(5).normal(size=(mesh.n_elements, 3))
        local1, local2 = local_operator(mesh, 1), local_operator(mesh, 2)
        one = median_seconds(lambda: local1.apply(m), repeats)
        two = median_seconds(lambda: local2.apply(m), repeats)
        spread = zd.DistributedOperator(mesh, 1e-3, client=client, operator_class=operator_class())
        seconds = median_seconds(lambda: spread.apply(m), repeats)
        same = np.array_equal(spread.apply(m), local2.apply(m))
        spread.close()
        rows.append((mesh.n_elements, f"{1e3 * one:.2f}", f"{1e3 * two:.2f}", f"{1e3 * seconds:.2f}",
                     f"{two / seconds:.2f}", f"{1e3 * (seconds - one / 2):.2f}", "yes" if same else "no"))
    print_table(f"one operator application ({operator_class().__name__}): 2 single-threaded workers against "
                "the local apply with 2 threads",
                ["elements", "local 1 thread ms", "local 2 threads ms", "2 workers ms", "vs local",
                 "overhead ms (vs half of 1 thread)", "same bits"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--elements", type=int, default=1000)
    parser.add_argument("--targets", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--sizes", type=int, nargs="+", default=[750, 3000, 6000])
    args = parser.parse_args()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        field_evaluation(client, args.elements, args.targets, args.repeats)
        solver_iteration(client, args.sizes, args.repeats)


if __name__ == "__main__":
    main()
