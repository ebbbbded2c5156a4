#pragma once
// The process-wide worker pool, the thread-count rule and the division of a
// field evaluation into consecutive pieces of targets; and the cancellable
// walk over work whose cost per item is not known in advance
// (core/interrupt.hpp).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/interrupt.hpp"

namespace zandrel {

// Processors this process may run on: the affinity mask, reduced by a cgroup
// CPU quota where one is set; 1 when nothing can be determined.
std::size_t available_processors();

// 0 asks for every available processor; otherwise min(requested, available).
std::size_t get_nthreads(std::uint32_t nthreads_requested);

// Piece length for T targets over n threads: floor(T / n), at least 1.
inline std::size_t piece_chunk(std::size_t targets, std::size_t nthreads) {
  return std::max<std::size_t>(1, targets / std::max<std::size_t>(1, nthreads));
}

using TaskFn = void (*)(void* context, std::size_t task_index);

// Runs fn(context, k) for k = 0 .. ntasks-1 on the pool and waits for all of
// them. A task that throws does not stop the others; once all have ended the
// exception of the lowest-numbered failing task is rethrown here. A single
// task, a call made from inside a task, and every call when the pool could
// not start a single worker thread, run on the calling thread.
//
// While it waits, the calling thread asks its interrupt check every few
// milliseconds. When that fires, tasks not yet started are dropped, the
// running ones stop at their next checkpoint(), and once none is left
// Interrupted is thrown here (task failures are then not reported).
//
// The pool is created on first use with one worker per available processor
// (fewer when the system refuses to start more threads) and lives until the
// process ends; in a child made by fork() it is created afresh.
void run_tasks(std::size_t ntasks, TaskFn fn, void* context);

// Worker threads the pool is running (starting it if needed); 0 when none
// could be started.
std::size_t pool_workers();

// Cuts [0, targets) into pieces of piece_chunk(targets, get_nthreads(requested))
// and calls piece(begin, end) once per piece, in parallel.
template <class PieceFn>
void for_each_piece(std::size_t targets, std::uint32_t nthreads_requested, PieceFn&& piece) {
  if (targets == 0) return;
  const std::size_t chunk = piece_chunk(targets, get_nthreads(nthreads_requested));
  const std::size_t npieces = (targets + chunk - 1) / chunk;
  struct Context {
    PieceFn* piece;
    std::size_t chunk;
    std::size_t targets;
  } context{&piece, chunk, targets};
  run_tasks(
      npieces,
      [](void* raw, std::size_t k) {
        auto* c = static_cast<Context*>(raw);
        const std::size_t begin = k * c->chunk;
        (*c->piece)(begin, std::min(begin + c->chunk, c->targets));
      },
      &context);
}

// Calls run(k0, k1) over [0, n) in consecutive runs with a checkpoint()
// before each, for work whose cost per item is not known in advance (an
// octree walk takes from a microsecond to a millisecond per target): each
// run is sized from the time the previous one took, aiming at about 10 ms.
// Every run but the last is a multiple of `quantum` items.
template <class Run>
void for_each_timed_run(std::size_t n, std::size_t quantum, Run&& run) {
  using Clock = std::chrono::steady_clock;
  constexpr auto aim = std::chrono::milliseconds(10);
  std::size_t count = quantum;
  for (std::size_t k = 0; k < n;) {
    checkpoint();
    const std::size_t end = std::min(n, k + count);
    const auto start = Clock::now();
    run(k, end);
    const auto took = Clock::now() - start;
    k = end;
    if (took < aim / 2)
      count *= 2;
    else if (took > 2 * aim && count > quantum)
      count = std::max(quantum, count / 2 / quantum * quantum);
  }
}

}  // namespace zandrel
