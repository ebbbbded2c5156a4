"""Capture of the solver's progress lines.

``_zandrel.magnetization_tet4`` writes one line per iteration straight to the
process's file descriptor 1, below ``sys.stdout``; redirecting
``sys.stdout`` does not catch them, redirecting the descriptor does.
"""
import contextlib
import os
import sys
import tempfile

__all__ = ["captured_fd1"]


@contextlib.contextmanager
def captured_fd1():
    """Redirects file descriptor 1 into a temporary file for the duration of
    the block (a file, not a pipe: a pipe nobody reads would block the writer
    once full); yields a list that receives the captured lines when the
    block ends, also when it raises."""
    lines = []
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with tempfile.TemporaryFile(mode="w+b") as sink:
            os.dup2(sink.fileno(), 1)
            try:
                yield lines
            finally:
                os.dup2(saved, 1)
                sink.seek(0)
                lines.extend(sink.read().decode().splitlines())
    finally:
        os.close(saved)
