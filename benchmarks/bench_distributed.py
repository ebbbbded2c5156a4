"""zandrel.distributed on a local Dask cluster against the local call.

1. Field evaluation (h_mag_tet4, direct sum): two single-threaded worker
   processes against the local call with two threads on the same data, for a
   range of chunk sizes; the overhead per chunk (worker-seconds beyond the
   single-threaded compute time of its targets) and the chunk size at which
   the overhead falls below 5 %.
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
    call = median_seconds(lambda: zd.h_mag_tet4(*mesh, m, points[:2], client=client), repeats)
    print(f"one call at 2 targets (scatter of the sources, one task, gather): {1e3 * call:.1f} ms")
    rows, below = [], None
    for chunk in (256, 1024, 4096, 16384, 65536):
        if chunk > targets:
            break
        seconds = median_seconds(lambda: zd.h_mag_tet4(*mesh, m, points, client=client, chunk_size=chunk), repeats)
        chunks = -(-targets // chunk)
        overhead = (2 * seconds - one) / chunks  # worker-seconds per chunk beyond the compute
        fraction = overhead / (one * chunk / targets)
        if below is None and fraction < 0.05:
            below = chunk
        rows.append((chunk, chunks, f"{seconds:.3f}", f"{two / seconds:.2f}", f"{1e3 * overhead:.2f}",
                     f"{100 * fraction:.1f}"))
    print_table(f"h_mag_tet4, {mesh.n_elements} elements x {targets} targets: local 1 thread {one:.3f} s, "
                f"2 threads {two:.3f} s ({mesh.n_elements * targets / two:.3g} pairs/s)",
                ["chunk", "chunks", "2 workers s", "vs local", "overhead ms/chunk", "overhead %"], rows)
    if below is not None:
        print(f"overhead below 5 % from chunks of {below} targets ({below * mesh.n_elements:.3g} source-target "
              "pairs) on\n")


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
        overhead = seconds - one / 2
        rows.append((mesh.n_elements, f"{1e3 * two:.2f}", f"{1e3 * seconds:.2f}", f"{two / seconds:.2f}",
                     f"{1e3 * overhead:.2f}", f"{100 * overhead / (one / 2):.1f}", "yes" if same else "no"))
    print_table(f"one operator application ({operator_class().__name__}): 2 single-threaded workers against "
                "the local apply with 2 threads",
                ["elements", "local ms", "2 workers ms", "vs local", "overhead ms", "overhead %", "same bits"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--elements", type=int, default=3000)
    parser.add_argument("--targets", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", type=int, nargs="+", default=[750, 3000, 6000])
    args = parser.parse_args()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        field_evaluation(client, args.elements, args.targets, args.repeats)
        solver_iteration(client, args.sizes, args.repeats)


if __name__ == "__main__":
    main()
