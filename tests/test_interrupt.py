"""Ctrl-C: a SIGINT sent to a process busy in a long call ends that call
with KeyboardInterrupt long before it would have finished, and the library
keeps working (with its worker pool) afterwards."""
import signal
import subprocess
import sys
import textwrap

import pytest

# The child restores Python's own Ctrl-C handler: a shell that starts the
# tests in the background leaves SIGINT ignored, and children inherit that.
SETUP = """
    import ctypes, signal, sys, time
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if sys.platform.startswith("linux"):  # PR_SET_PDEATHSIG: a killed test run takes the child with it
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)
    import numpy as np
    import _zandrel
    from zandrel import sphere_mesh
    nodes, conn = sphere_mesh(1.0, 12)  # 10,368 elements
    m = np.tile([0.0, 0.0, 1.0], (len(conn), 1))
    targets = np.random.default_rng(0).normal(size=(1_000_000, 3))
"""

# Each runs for minutes, on the pool or (one thread) on the calling thread.
CALLS = {
    "face sum, pool": "_zandrel.h_mag_tet4(nodes, conn, m, targets, 0.5, 8, 0, False, False)",
    "edge sum, calling thread": "_zandrel.h_current_tet4_direct(nodes, conn, m, targets, 1, True)",
    "octree": "_zandrel.h_mag_tet4(nodes, conn, m, targets, 0.05, 8, 0, True, False)",
    "solver, direct": "_zandrel.magnetization_tet4(nodes, conn, 1.0, m, -1.0, 10**9, 0.5, 0, 0.5, 0, False)",
    "solver, octree": "_zandrel.magnetization_tet4(nodes, conn, 1.0, m, -1.0, 10**9, 0.5, 4, 0.5, 0, False)",
}


@pytest.mark.parametrize("call", list(CALLS.values()), ids=list(CALLS))
def test_ctrl_c_ends_a_long_call_and_the_library_stays_usable(call):
    code = textwrap.dedent(SETUP) + textwrap.dedent(f"""
        print("calling", file=sys.stderr, flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", file=sys.stderr, flush=True)
        few = targets[:200]
        on_pool = _zandrel.h_mag_tet4(nodes, conn, m, few, 0.5, 8, 0, False, False)
        inline = _zandrel.h_mag_tet4(nodes, conn, m, few, 0.5, 8, 1, False, False)
        print("usable" if np.array_equal(on_pool, inline) else "wrong", file=sys.stderr)
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stderr.readline() == "calling\n"
        try:
            child.wait(timeout=1.0)  # well inside the call
        except subprocess.TimeoutExpired:
            pass
        child.send_signal(signal.SIGINT)
        # An ignored SIGINT would let the call run on for minutes.
        _, rest = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert rest.splitlines() == ["interrupted", "usable"], rest
    assert child.returncode == 0
