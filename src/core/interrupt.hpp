#pragma once
// Stopping a long call early (Ctrl-C). The code that calls into the core
// installs, on its own thread and for the duration of one call, a check that
// says whether the call should stop: the Python binding's check runs the
// interpreter's pending signal handlers. Long work calls checkpoint() between
// bounded steps. On the calling thread that asks the installed check; on a
// worker of the pool it reads the cancellation flag of the evaluation it
// works for, which the waiting calling thread raises once its check fires.
// Either way the step throws Interrupted, every buffer is released on the
// way out, and the call returns no result at all.
//
// The check is thread-local and scoped: nothing outlives the call that
// installed it, and calls from several threads each have their own.
#include <atomic>
#include <cstddef>
#include <exception>

namespace zandrel {

// Thrown by checkpoint(). Whatever the check wants reported (the binding's
// KeyboardInterrupt) it keeps on its side; this only unwinds.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

// pending(context) -> true when the call should stop. Called on the thread
// that installed it only, at most every few milliseconds; it must not throw.
struct InterruptCheck {
  bool (*pending)(void* context) = nullptr;
  void* context = nullptr;
};

// Installs `check` on the current thread for the scope's lifetime; the
// previous one (usually none) comes back when the scope ends.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptCheck check) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptCheck previous_;
};

// Whether the current thread's work should stop: on a pool worker, the
// cancellation flag of its evaluation; elsewhere, the installed check (false
// when there is none).
bool interrupt_pending();

// Throws Interrupted when interrupt_pending().
void checkpoint();

// Loops over elements on the calling thread call checkpoint() at every
// checkpoint_stride-th iteration: a few milliseconds of the cheapest
// per-element work, so that meshes of millions of elements stay responsive.
constexpr std::size_t checkpoint_stride = 65536;

// Marks the current thread, for the scope's lifetime, as working for an
// evaluation whose cancellation is signalled through `flag` (used by the
// worker pool around every task it runs).
class CancellationScope {
 public:
  explicit CancellationScope(const std::atomic<bool>* flag) noexcept;
  ~CancellationScope();
  CancellationScope(const CancellationScope&) = delete;
  CancellationScope& operator=(const CancellationScope&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

}  // namespace zandrel
