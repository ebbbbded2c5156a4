#include "core/operator/pieces.hpp"

#include <atomic>
#include <exception>
#include <vector>

namespace zandrel {
namespace {

thread_local const std::atomic<bool>* current_stop = nullptr;

}  // namespace

bool cancellation_requested() { return current_stop != nullptr && current_stop->load(std::memory_order_relaxed); }

void run_pieces_polled(std::size_t npieces, std::size_t concurrency, TaskFn piece, void* context, const Poll& poll) {
  if (npieces == 0) return;
  // Workers take the next piece from a shared counter; a piece's result does
  // not depend on the worker, so the outcome is that of a serial loop.
  struct Shared {
    TaskFn piece;
    void* context;
    std::size_t npieces;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::vector<std::exception_ptr> failures;
  } shared{piece, context, npieces, {}, {}, std::vector<std::exception_ptr>(npieces)};
  const TaskFn worker = [](void* raw, std::size_t) {
    auto* s = static_cast<Shared*>(raw);
    const std::atomic<bool>* outer = current_stop;
    for (;;) {
      if (s->stop.load()) break;
      const std::size_t k = s->next.fetch_add(1);
      if (k >= s->npieces) break;
      current_stop = &s->stop;
      try {
        s->piece(s->context, k);
      } catch (...) {
        s->failures[k] = std::current_exception();
      }
      current_stop = outer;
    }
  };
  const std::size_t nworkers = std::max<std::size_t>(1, std::min(concurrency, npieces));
  run_tasks_polled(nworkers, worker, &shared, poll, shared.stop);
  if (shared.stop.load()) throw Cancelled();
  for (auto& failure : shared.failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace zandrel
