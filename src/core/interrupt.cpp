#include "core/interrupt.hpp"

namespace zandrel {
namespace {

// Per thread and scoped by the RAII classes below: the check of the call
// running on this thread, and the cancellation flag of the evaluation a
// worker is running a task for.
thread_local InterruptCheck installed_check;
thread_local const std::atomic<bool>* cancellation_flag = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check) noexcept : previous_(installed_check) {
  installed_check = check;
}
InterruptScope::~InterruptScope() { installed_check = previous_; }

CancellationScope::CancellationScope(const std::atomic<bool>* flag) noexcept : previous_(cancellation_flag) {
  cancellation_flag = flag;
}
CancellationScope::~CancellationScope() { cancellation_flag = previous_; }

bool interrupt_pending() {
  if (cancellation_flag != nullptr) return cancellation_flag->load(std::memory_order_relaxed);
  return installed_check.pending != nullptr && installed_check.pending(installed_check.context);
}

void checkpoint() {
  if (interrupt_pending()) throw Interrupted{};
}

}  // namespace zandrel
