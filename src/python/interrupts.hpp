#pragma once
// Ctrl-C and the interpreter lock at the boundary to the core. The core asks
// an installed check between bounded steps of its work (core/interrupt.hpp);
// here that check runs the interpreter's pending signal handlers. A handler
// that raises (KeyboardInterrupt for Ctrl-C, or whatever a custom handler
// raises) leaves its exception set, the check reports the call as
// interrupted, the core unwinds with Interrupted, and the entry point returns
// NULL with that exception. Only the main thread runs signal handlers, so
// calls from other threads are never interrupted, as in Python itself.
#include "core/interrupt.hpp"
#include "python/pyref.hpp"

namespace zandrel::py {

// For code that holds the interpreter lock (every entry point of _zandrel).
InterruptCheck signal_check_holding_gil();

// Releases the interpreter lock for its lifetime, so that other Python
// threads run (a thread draining the pipe behind file descriptor 1, say);
// takes it back on the way out, also when an exception passes.
//
// Code that computes without the lock installs released.signal_check(): each
// check takes the lock back just long enough to run the signal handlers
// (`GilReleased released; InterruptScope scope(released.signal_check());`).
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

  InterruptCheck signal_check();

 private:
  PyThreadState* state_;
};

// Runs work() without the interpreter lock, with the signal check installed
// for its checkpoints; an Interrupted passes on to the entry point, which
// returns NULL with the handler's exception.
template <class Work>
void compute_without_gil(Work&& work) {
  GilReleased released;
  const InterruptScope interrupts(released.signal_check());
  work();
}

}  // namespace zandrel::py
