#pragma once
// Native work of the operator runs without the interpreter lock, so other
// Python threads (and Dask workers) run beside it. While the pool computes,
// the calling thread takes the lock back for a moment every poll period to
// let the interpreter look for a pending signal; a KeyboardInterrupt stops
// the work (core Poll) and propagates once the lock is held again.
#include "core/operator/pieces.hpp"
#include "python/pyref.hpp"

namespace zandrel::py {

class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // Asks the interpreter for pending signals; true when one raised.
  Poll poll() {
    return Poll{[](void* raw) {
                  auto* self = static_cast<ReleasedGil*>(raw);
                  PyEval_RestoreThread(self->state_);
                  const bool raised = PyErr_CheckSignals() != 0;
                  self->state_ = PyEval_SaveThread();
                  return raised;
                },
                this, 50};
  }

 private:
  PyThreadState* state_;
};

// Runs work(poll) without the lock. An interruption leaves the interpreter's
// KeyboardInterrupt (or whatever the signal handler raised) set and throws
// PythonError, so the entry point returns NULL with it.
template <class Work>
void without_gil(Work&& work) {
  bool interrupted = false;
  {
    ReleasedGil released;
    try {
      work(released.poll());
    } catch (const Cancelled&) {
      interrupted = true;
    }
  }
  if (interrupted) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw_python_error();
  }
}

}  // namespace zandrel::py
