"""The library inside the processes users run it in: a Jupyter-like kernel
whose file descriptor 1 is a pipe drained by a Python thread, children forked
by multiprocessing after parallel work, and a process that may not start any
more threads. Each runs in a subprocess, so that a hang fails the test by its
timeout instead of stopping the test run."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None, timeout=60):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **(env or {})})
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_progress_lines_flow_through_a_pipe_drained_by_a_python_thread():
    # 5,000 lines (about 180 KB) are far more than a pipe buffers: the reader
    # thread must run while the solver writes.
    out = run_python("""
        import os, sys, threading
        import numpy as np
        import _zandrel
        read_end, write_end = os.pipe()
        saved = os.dup(1)
        os.dup2(write_end, 1)
        os.close(write_end)
        chunks = []
        def drain():
            while chunk := os.read(read_end, 65536):
                chunks.append(chunk)
        reader = threading.Thread(target=drain)
        reader.start()
        nodes = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
        conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
        _zandrel.magnetization_tet4(nodes, conn, 0.5, np.ones((1, 3)), -1.0, 5000, 0.5, 0, 1.0, 1, False)
        os.dup2(saved, 1)  # closes the last write end: the reader sees the end
        reader.join()
        lines = b"".join(chunks).decode().splitlines()
        print(len(lines), lines[-1].split(";")[0])
    """)
    assert out == "5000 Iteration: 4999\n"


def test_children_forked_after_parallel_work_compute_the_same_fields():
    out = run_python("""
        import multiprocessing
        import numpy as np
        import _zandrel

        def field(seed):
            rng = np.random.default_rng(seed)
            points, targets = rng.normal(size=(300, 3)), rng.normal(size=(4000, 3))
            return _zandrel.h_mag_point(points, np.full(300, 1e-3), np.ones((300, 3)), targets, 0.5, 4, 0, False)

        expected = [field(seed) for seed in range(4)]  # the parent's pool is running now
        with multiprocessing.get_context("fork").Pool(2) as pool:
            got = pool.map(field, range(4))
        print(all(np.array_equal(a, b) for a, b in zip(expected, got)), np.array_equal(field(1), expected[1]))
    """)
    assert out == "True True\n"


SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
/* Starts the first THREADS_ALLOWED threads, then refuses like a process at
   its thread limit. */
typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
  static int left = -1;
  if (left < 0) left = atoi(getenv("THREADS_ALLOWED"));
  if (left == 0) return EAGAIN;
  --left;
  return ((create_fn)dlsym(RTLD_NEXT, "pthread_create"))(t, a, f, arg);
}
"""


@pytest.fixture(scope="module")
def thread_limit_shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the pthread_create shim")
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("one processor: the library never starts worker threads")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(folder / "shim.so"), str(folder / "shim.c"), "-ldl"],
                   check=True)
    return str(folder / "shim.so")


@pytest.mark.parametrize("allowed", [0, 1])
def test_a_process_at_its_thread_limit_still_gets_complete_results(thread_limit_shim, allowed):
    # Preloaded after any sanitizer runtime already preloaded (which must
    # come first and then forwards to the shim).
    preload = (os.environ.get("LD_PRELOAD", "") + " " + thread_limit_shim).strip()
    out = run_python("""
        import numpy as np
        import _zandrel
        rng = np.random.default_rng(3)
        points, targets = rng.normal(size=(300, 3)), rng.normal(size=(4000, 3))
        args = (points, np.full(300, 1e-3), np.ones((300, 3)), targets, 0.5, 4)
        one_piece = _zandrel.h_mag_point(*args, 1, False)  # on the calling thread: no pool yet
        pieces = _zandrel.h_mag_point(*args, 0, False)      # starts the pool
        print(np.array_equal(one_piece, pieces))
    """, env={"LD_PRELOAD": preload, "THREADS_ALLOWED": str(allowed), "OPENBLAS_NUM_THREADS": "1",
              "OMP_NUM_THREADS": "1"})
    assert out == "True\n"
