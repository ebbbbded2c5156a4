"""Structured fuzzing of the fourteen functions of `_zandrel`.

Each call starts from consistent random inputs (sizes, node indices, faces)
and then breaks some of them: NaN, infinities, huge and tiny values,
duplicate points, out-of-range indices; wrong dtypes, byte orders, numbers of
dimensions, memory layouts (Fortran order, steps, negative strides,
misaligned data) and Python types; missing, extra, duplicate and unknown
arguments, positional or by keyword. A call may succeed or raise one of the
library's documented exceptions; anything else is a failure:

- the process dies (a crash, or a sanitizer report, which aborts it);
- a call hangs: every call gets a SIGALRM after a time limit whose handler
  raises, as Ctrl-C would, and a call that does not end then within
  `--hang` seconds is a hang (faulthandler dumps the stacks and exits);
- an exception of another type;
- a partial result: a result of the wrong type, dtype, shape or layout; a
  field or solver result that differs from the same call made with another
  thread count; an input array changed or a reference leaked by the call.

The calls are a deterministic sequence per seed; the run ends when the time
budget is spent. A supervisor process runs the fuzzing child, and on failure
prints the seed, the call number and a description of the call.

    python tests/fuzz/fuzz_functions.py --seconds 120 --seed 1
"""
import argparse
import faulthandler
import itertools
import os
import signal
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from function_table import FUNCTIONS  # noqa: E402

CALL_LIMIT = 1.0  # seconds before the alarm interrupts a call


class CallDeadline(Exception):
    """Raised by the alarm handler inside a call that ran past its limit."""


class Failure(Exception):
    pass


# ---------------------------------------------------------------- inputs

def pick(rng, options):
    return options[rng.integers(len(options))]


SPECIAL_FLOATS = [np.nan, np.inf, -np.inf, 1e300, -1e300, 1e-300, 5e-324, -0.0, 0.0, 1e154, 2.0**-60]


def spice(rng, a):
    """Sprinkles special values into a float array, or collapses its rows."""
    a = a.copy()
    if a.size and rng.random() < 0.3:
        flat = a.reshape(-1)
        for i in rng.integers(a.size, size=rng.integers(1, 4)):
            flat[i] = pick(rng, SPECIAL_FLOATS)
    if a.ndim == 2 and len(a) > 1 and rng.random() < 0.1:
        a[:] = a[0]  # all points in one place
    if rng.random() < 0.1:
        a *= pick(rng, [1e-200, 1e200, 2.0**60, 2.0**-60])
    return a


def indices(rng, shape, count):
    """Node indices below count, sometimes beyond it or repeated in a row."""
    a = rng.integers(0, max(count, 1), size=shape).astype(np.uint32)
    if a.size and rng.random() < 0.1:
        a.reshape(-1)[rng.integers(a.size)] = pick(rng, [count, count + 5, 2**32 - 1])
    if a.ndim == 2 and len(a) and rng.random() < 0.1:
        a[rng.integers(len(a)), 1] = a[rng.integers(len(a)), 0]
    return a


def consistent_inputs(rng):
    n = int(pick(rng, [0, 1, 2, 4, 5, 9, 30]))
    m = int(pick(rng, [0, 1, 2, 3, 7, 20]))
    t = int(pick(rng, [0, 1, 3, 8, 17, 70]))
    f = int(pick(rng, [0, 1, 4, 11]))
    return {
        "points": spice(rng, rng.normal(size=(n, 3))), "elements": indices(rng, (m, 4), n), "faces": indices(rng, (f, 3), n),
        "per_element": spice(rng, rng.normal(size=(m, 3))), "per_node": spice(rng, rng.normal(size=(n, 3))),
        "targets": spice(rng, rng.normal(size=(t, 3)) * 1.5),
        "volumes": spice(rng, rng.uniform(1e-4, 1e-1, size=n)),
        "per_face": spice(rng, rng.normal(size=(f, 3))), "areas": spice(rng, rng.uniform(0, 1, size=f)),
    }


def valid_value(rng, name, kind, c):
    """A value of the right kind and a consistent size for parameter `name`."""
    by_name = {
        "nodes": c["points"], "centroids": c["points"], "src_pts": c["points"],
        "connectivity": c["elements"], "faces": c["faces"],
        "mvectors": c["per_element"], "jdensity": c["per_element"], "hext": c["per_element"],
        "m_field_centroids": c["per_element"], "h_field_nodes": c["per_node"],
        "src_jdensity": c["per_node"], "volumes": c["volumes"], "src_vol": c["volumes"],
        "targets": c["targets"], "tgts": c["targets"], "tgt_pts": c["targets"],
        "face_areas": c["areas"], "face_normals": c["per_face"], "b_field": c["per_face"],
        "theta": pick(rng, [0.5, 0.3, 0.0, 1.2, -1.0, np.nan, np.inf]),
        "leaf_threshold": pick(rng, [1, 2, 4, 8, 0, 1000]),
        "nthreads_requested": pick(rng, [0, 1, 2, 3, 1000]),
        "chi": pick(rng, [0.5, 1.0, 0.0, -0.5, 3.0, 1000.0, np.nan, np.inf, -3.0]),
        "tol": pick(rng, [1e-9, 0.0, -1.0, 1e-3, np.nan, np.inf]),
        "max_iterations": pick(rng, [0, 1, 2, 5, 30] * 8 + [2**32 - 1]),
        "alpha": pick(rng, [0.5, 1.0, 0.0, 0.2, -1.0, 3.0, np.nan]),
    }
    if kind == "bool":
        return bool(rng.integers(2))
    if kind == "f64_1" and name in ("centroids", "normals"):
        return c["per_face"].reshape(-1)  # the flat arrays of _mesh_surface_tets
    value = by_name[name]
    return value.reshape(-1) if kind.endswith("_1") and value.ndim == 2 else value


def broken_array(rng, a):
    """The same data in a form the function may refuse or must read correctly."""
    choice = rng.integers(12)
    if choice == 0:
        return np.asfortranarray(a)
    if choice == 1:
        return np.repeat(a, 2, axis=0)[::2]  # a step between rows
    if choice == 2:
        return a[::-1]
    if choice == 3:  # misaligned: one byte into a buffer
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        view = raw[1:].view(a.dtype).reshape(a.shape)
        view[...] = a
        return view
    if choice == 4:
        return a.astype(a.dtype.newbyteorder())
    if choice == 5:
        return a.astype(pick(rng, [np.float32, np.int64, np.uint32, np.float64, np.int32, np.complex128, bool]))
    if choice == 6:
        return a.reshape(-1) if a.ndim == 2 else a.reshape(-1, 1)
    if choice == 7:
        return a[..., None]
    if choice == 8:
        return a.tolist()
    if choice == 9:  # another width
        return a[:, : int(rng.integers(0, 3))] if a.ndim == 2 else a[: max(0, len(a) - 1)]
    if choice == 10:
        b = a.copy()
        b.flags.writeable = False
        return b
    return pick(rng, [None, 1.5, "text", object(), np.float64(2.0)])


def broken_scalar(rng, kind):
    if kind == "bool":
        return pick(rng, [1, 0, None, "yes", np.bool_(True), np.bool_(False), 2.0])
    if kind == "u32":
        return pick(rng, [-1, 2**32, 2**64, 2**70, 1.5, "3", True, np.uint32(7), np.int64(-2), None])
    return pick(rng, ["x", None, 10**400, [1.0], np.float32(0.5), True, 3, 1j])


def make_call(rng):
    name = pick(rng, list(FUNCTIONS))
    params = FUNCTIONS[name]
    c = consistent_inputs(rng)
    values = [valid_value(rng, p, kind, c) for p, kind, _ in params]
    for i in range(len(values)):
        if rng.random() < 0.06:
            kind = params[i][1]
            values[i] = broken_array(rng, values[i]) if isinstance(values[i], np.ndarray) else broken_scalar(rng, kind)
    names = [p for p, _, _ in params]
    npos = len(values) if rng.random() < 0.6 else int(rng.integers(0, len(values) + 1))
    args, kwargs = values[:npos], dict(zip(names[npos:], values[npos:]))
    if rng.random() < 0.04:
        args = args[:-1] if args and rng.random() < 0.5 else args + [0]
    if rng.random() < 0.03:
        kwargs[pick(rng, names + ["bogus"])] = 1
    if rng.random() < 0.03 and kwargs:
        del kwargs[pick(rng, list(kwargs))]
    return name, args, kwargs


def describe(name, args, kwargs):
    def one(v):
        if isinstance(v, np.ndarray):
            return (f"array({v.shape}, {v.dtype.str}, C={v.flags.c_contiguous}, aligned={v.flags.aligned}, "
                    f"strides={v.strides})")
        return repr(v)[:60]
    parts = [one(a) for a in args] + [f"{k}={one(v)}" for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


# ---------------------------------------------------------------- checks

def expect_array(x, shape, dtype):
    if not isinstance(x, np.ndarray) or x.dtype != dtype or x.shape != shape or not x.flags.c_contiguous:
        raise Failure(f"partial or malformed result: expected {dtype} {shape}, got "
                      f"{getattr(x, 'dtype', type(x))} {getattr(x, 'shape', '')}")


def check_result(name, bound, result):
    """bound: parameter name -> value as passed (the call succeeded, so the arrays were accepted)."""
    f64, u32 = np.dtype(np.float64), np.dtype(np.uint32)
    if name.startswith("h_"):
        key = next(k for k in ("targets", "tgts", "tgt_pts") if k in bound)
        expect_array(result, (bound[key].shape[0], 3), f64)
    elif name == "magnetization_tet4":
        rows = bound["connectivity"].shape[0]
        if not isinstance(result, tuple) or len(result) != 2:
            raise Failure("solver result is not a pair")
        for part in result:
            expect_array(part, (rows, 3), f64)
    elif name in ("mesh_volumes", "mesh_centroids", "mesh_kelvin_force_density"):
        rows = bound["connectivity"].shape[0]
        expect_array(result, (rows,) if name == "mesh_volumes" else (rows, 3), f64)
    elif name == "mesh_surface_faces":
        expect_array(result, (len(result), 3), u32)
        if len(result) > bound["connectivity"].size:
            raise Failure("more boundary faces than element faces")
    elif name == "mesh_surface_face_properties":
        rows = bound["faces"].shape[0]
        if not isinstance(result, tuple) or len(result) != 3:
            raise Failure("face properties are not a triple")
        expect_array(result[0], (rows,), f64)
        expect_array(result[1], (rows, 3), f64)
        expect_array(result[2], (rows, 3), f64)
    elif name == "mesh_surface_forces":
        expect_array(result, (bound["face_areas"].shape[0], 3), f64)
    elif name == "_mesh_surface_tets":
        k = bound["faces"].size // 3
        expect_array(result[0], (12 * k,), f64)
        expect_array(result[1], (4 * k,), u32)


def same(a, b):
    if isinstance(a, tuple):
        return all(same(x, y) for x, y in zip(a, b))
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def snapshot(args, kwargs):
    """Copies and reference counts of the array arguments (taken once the list
    is complete, as they are compared later)."""
    arrays = [(v, v.copy()) for v in itertools.chain(args, kwargs.values()) if isinstance(v, np.ndarray)]
    return arrays, [sys.getrefcount(v) for v, _ in arrays]


def check_inputs_untouched(before):
    arrays, refs = before
    if [sys.getrefcount(v) for v, _ in arrays] != refs:
        raise Failure("the call changed the reference count of an input")
    for v, copy in arrays:
        if not (np.array_equal(v, copy, equal_nan=True) if v.dtype.kind in "fc" else np.array_equal(v, copy)):
            raise Failure("an input array was modified")


# ---------------------------------------------------------------- the child

def on_alarm(signum, frame):
    raise CallDeadline()


def timed_call(fn, args, kwargs):
    signal.setitimer(signal.ITIMER_REAL, CALL_LIMIT)
    try:
        return fn(*args, **kwargs)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def fuzz(seed, seconds, hang, trace_path):
    import _zandrel

    np.seterr(all="ignore")  # building the broken inputs overflows on purpose
    warnings.simplefilter("ignore")

    allowed = (TypeError, OverflowError, ValueError, FloatingPointError, _zandrel.PanicException, CallDeadline)
    signal.signal(signal.SIGALRM, on_alarm)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # the solver's progress lines
    rng = np.random.default_rng(seed)
    trace = open(trace_path, "w", buffering=1)
    end = time.monotonic() + seconds
    counts = {"calls": 0, "results": 0, "deadlines": 0}
    while time.monotonic() < end:
        name, args, kwargs = make_call(rng)
        trace.seek(0)
        trace.write(f"seed {seed}, call {counts['calls']}: {describe(name, args, kwargs)}\n")
        trace.truncate()
        counts["calls"] += 1
        fn = getattr(_zandrel, name)
        before = snapshot(args, kwargs)
        faulthandler.dump_traceback_later(CALL_LIMIT + hang, exit=True)
        try:
            try:
                result = timed_call(fn, args, kwargs)
            except allowed as err:
                counts["deadlines"] += isinstance(err, CallDeadline)
                result = None
            except BaseException as err:
                raise Failure(f"unexpected {type(err).__name__}: {err}") from None
            # (Outside the handler: the exception's frames hold the arguments.)
            check_inputs_untouched(before)
            if result is None:
                continue
            counts["results"] += 1
            names = [p for p, _, _ in FUNCTIONS[name]]
            bound = dict(zip(names, args), **kwargs)
            check_result(name, bound, result)
            if "nthreads_requested" in bound and rng.random() < 0.3:
                # The same call on one thread: the same bits (or the same deadline).
                other = dict(bound, nthreads_requested=1 if bound["nthreads_requested"] != 1 else 0)
                try:
                    again = timed_call(fn, [], other)
                except CallDeadline:
                    raise
                except BaseException as err:
                    raise Failure(f"with another thread count the call raised {type(err).__name__}: {err}") from None
                if not same(result, again):
                    raise Failure("the result depends on the thread count")
        except CallDeadline:
            counts["deadlines"] += 1
        finally:
            faulthandler.cancel_dump_traceback_later()
    print(f"seed {seed}: {counts['calls']} calls, {counts['results']} results, {counts['deadlines']} interrupted "
          "at their time limit", file=sys.stderr)


# ---------------------------------------------------------------- the supervisor

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=120.0, help="time budget (default %(default)s)")
    parser.add_argument("--seed", type=int, default=1, help="first seed; each round takes the next (default 1)")
    parser.add_argument("--rounds", type=int, default=4, help="child processes, one seed each (default 4)")
    parser.add_argument("--hang", type=float, default=30.0,
                        help="seconds a call may take beyond its time limit before it counts as hung")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        seed, seconds, trace = args.child
        try:
            fuzz(int(seed), float(seconds), args.hang, trace)
        except Failure as failure:
            print(f"FAILURE: {failure}", file=sys.stderr)
            sys.exit(3)
        return 0

    with tempfile.TemporaryDirectory() as folder:
        trace = os.path.join(folder, "last_call")
        for round_ in range(args.rounds):
            seed = args.seed + round_
            child = subprocess.run([sys.executable, os.path.abspath(__file__), "--hang", str(args.hang), "--child",
                                    str(seed), str(args.seconds / args.rounds), trace])
            if child.returncode != 0:
                last = open(trace).read().strip() if os.path.exists(trace) else "(no call started)"
                print(f"fuzzing failed (exit status {child.returncode}) at {last}", file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
