"""Throughput of the point-source functions from Python.

Source-target pairs per second of h_mag_point (direct) and
h_current_point_direct with one thread and with all threads, beside a
vectorised NumPy implementation of the same formulas on the same data.
Run: python benchmarks/bench_point.py [--sources N] [--targets T]
"""
import os

# NumPy's BLAS threads keep spinning on the other core after a baseline call
# and would steal it from the parallel measurements; baselines run on one core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse

import numpy as np

import _zandrel
from common import median_seconds, ncores, print_table


def numpy_dipoles(c, v, m, t):
    radius = np.cbrt(3.0 * v / (4 * np.pi))
    moment = m * v[:, None]
    out = np.zeros_like(t)
    for block in range(0, len(t), 256):  # bounded temporaries
        r = t[block:block + 256, None, :] - c[None, :, :]
        rmag = np.sqrt(np.einsum("tsk,tsk->ts", r, r))
        with np.errstate(divide="ignore", invalid="ignore"):
            u = r / rmag[..., None]
            d = np.einsum("tsk,sk->ts", u, moment)
            h = (3 * u * d[..., None] - moment[None]) / (4 * np.pi * rmag[..., None] ** 3)
        inside = rmag <= radius[None, :]
        h = np.where(inside[..., None], -moment[None] / (3 * (4 / 3 * np.pi * radius[None, :, None] ** 3)), h)
        out[block:block + 256] = h.sum(axis=1)
    return out


def numpy_currents(s, v, j, t):
    a3 = 3.0 * v / (4 * np.pi)
    out = np.zeros_like(t)
    for block in range(0, len(t), 256):
        d = t[block:block + 256, None, :] - s[None, :, :]
        r3 = np.linalg.norm(d, axis=2) ** 3
        c = (v / (4 * np.pi))[None, :] / np.fmax(r3, a3[None, :])
        out[block:block + 256] = np.einsum("ts,tsk->tk", c, np.cross(j[None], d))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sources", type=int, default=4000)
    parser.add_argument("--targets", type=int, default=8000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    n, t = args.sources, args.targets
    src = rng.uniform(-1, 1, (n, 3))
    vol = rng.uniform(1e-7, 1e-6, n)
    vec = rng.normal(size=(n, 3))
    tgt = rng.uniform(-1, 1, (t, 3))
    pairs = n * t
    cores = ncores()
    small = 500  # NumPy gets a subset of the targets, scaled to pairs/s

    runs = {
        "h_mag_point": (lambda k: _zandrel.h_mag_point(src, vol, vec, tgt, 0.0, 1, k, False),
                        lambda: numpy_dipoles(src, vol, vec, tgt[:small])),
        "h_current_point_direct": (lambda k: _zandrel.h_current_point_direct(src, vol, vec, tgt, k),
                                   lambda: numpy_currents(src, vol, vec, tgt[:small])),
    }
    rows = []
    for name, (native, numpy_impl) in runs.items():
        np.testing.assert_allclose(native(0)[:small], numpy_impl(), rtol=1e-9, atol=1e-12)
        one = pairs / median_seconds(lambda: native(1))
        full = pairs / median_seconds(lambda: native(0))
        ref = n * small / median_seconds(numpy_impl, repeats=3)
        rows.append([name, f"{ref:.3e}", f"{one:.3e}", f"{full:.3e}", f"{full / cores:.3e}",
                     f"{one / ref:.0f}x", f"{full / one:.2f}x"])
    print_table(f"point sources: {n} sources x {t} targets, {cores} cores, pairs/s (median)",
                ["function", "numpy", "1 thread", "all threads", "per core", "1 thread/numpy", "all/1 thread"], rows)


if __name__ == "__main__":
    main()
