#pragma once
// The operator's parallel loops: [0, n) cut into pieces of `step`, taken in
// turn by pool workers from a shared counter. Each piece writes only its own
// outputs, so results do not depend on the thread count. Before every piece a
// worker asks checkpoint(): a Ctrl-C seen by the waiting calling thread
// (core/interrupt.hpp) skips the pieces not yet started, and the call ends
// with Interrupted once the running ones have finished.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "core/parallel.hpp"

namespace zandrel {

// Runs piece(context, k) for k = 0 .. npieces-1 on at most `concurrency`
// workers. A failing piece does not stop the others; the lowest-numbered
// failure is rethrown once all have ended.
void run_pieces(std::size_t npieces, std::size_t concurrency, TaskFn piece, void* context);

// Runs body(begin, end) over [0, n) in pieces of `step`, on the pool.
template <class Body>
void for_pieces(std::size_t n, std::size_t step, std::uint32_t threads, Body&& body) {
  const std::size_t npieces = (n + step - 1) / step;
  struct Context {
    Body* body;
    std::size_t n, step;
  } context{&body, n, step};
  run_pieces(
      npieces, get_nthreads(threads),
      [](void* raw, std::size_t k) {
        auto* c = static_cast<Context*>(raw);
        const std::size_t begin = k * c->step;
        (*c->body)(begin, std::min(begin + c->step, c->n));
      },
      &context);
}

// Memory for an application's workspaces (arrays of trivial types). Large
// ones are asked for in huge pages where the system offers them on request
// (Linux): an application touches tens of megabytes afresh each time, and
// in pages of 4 KiB each would cost a fault of its own, a few percent of
// the application.
void* allocate_workspace(std::size_t bytes);
struct FreeWorkspace {
  void operator()(void* p) const noexcept;
};
template <class T>
using Workspace = std::unique_ptr<T[], FreeWorkspace>;

// n zeros, written (and their pages first touched) by the pool's workers
// rather than by the calling thread alone.
template <class T>
Workspace<T> parallel_zeros(std::size_t n, std::uint32_t threads) {
  static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
  Workspace<T> out(static_cast<T*>(allocate_workspace(n * sizeof(T))));
  for_pieces(n, std::size_t{1} << 16, threads,
             [&](std::size_t begin, std::size_t end) { std::fill(out.get() + begin, out.get() + end, T{}); });
  return out;
}

}  // namespace zandrel
