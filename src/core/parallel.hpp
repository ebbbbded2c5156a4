#pragma once
// The process-wide worker pool, the thread-count rule and the division of a
// field evaluation into consecutive pieces of targets.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

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
// task, or a call made from inside a task, runs on the calling thread.
void run_tasks(std::size_t ntasks, TaskFn fn, void* context);

// A question the calling thread asks every period_ms while the pool works
// (for instance: is a signal pending?); true means stop.
struct Poll {
  bool (*fn)(void* context) = nullptr;
  void* context = nullptr;
  unsigned period_ms = 50;
};

// run_tasks, always off the calling thread (unless called from inside a
// task), which asks `poll` while it waits; once the answer is yes it sets
// `stop`, which the tasks watch to end early, and keeps waiting for them.
void run_tasks_polled(std::size_t ntasks, TaskFn fn, void* context, const Poll& poll, std::atomic<bool>& stop);

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

}  // namespace zandrel
