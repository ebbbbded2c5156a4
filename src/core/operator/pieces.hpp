#pragma once
// The operator's parallel loops: [0, n) cut into pieces of `step`, run on the
// worker pool while the calling thread polls for an interruption (Ctrl-C).
// Pieces are small enough that a stop is seen within a fraction of a second;
// each writes only its own outputs, so the results do not depend on the
// thread count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "core/parallel.hpp"

namespace zandrel {

// Thrown when the poll asked to stop: the operator's work was abandoned and
// produced nothing.
class Cancelled : public std::runtime_error {
 public:
  Cancelled() : std::runtime_error("interrupted") {}
};

// Runs piece(context, k) for k = 0 .. npieces-1 on at most `concurrency`
// pool workers, which take the next piece from a shared counter, while the
// calling thread asks `poll`. Once it says stop, pieces not yet started are
// skipped, the running ones finish (or notice it, below), and Cancelled is
// thrown. Otherwise the lowest-numbered failing piece's exception is rethrown.
void run_pieces_polled(std::size_t npieces, std::size_t concurrency, TaskFn piece, void* context, const Poll& poll);

// Inside a piece of run_pieces_polled: whether the poll has asked to stop. A
// long piece checks it now and then through throw_if_cancelled().
bool cancellation_requested();
inline void throw_if_cancelled() {
  if (cancellation_requested()) throw Cancelled();
}

// Runs body(begin, end) over [0, n) in pieces of `step`, on the pool.
template <class Body>
void for_pieces(std::size_t n, std::size_t step, std::uint32_t threads, const Poll& poll, Body&& body) {
  const std::size_t npieces = (n + step - 1) / step;
  struct Context {
    Body* body;
    std::size_t n, step;
  } context{&body, n, step};
  run_pieces_polled(
      npieces, get_nthreads(threads),
      [](void* raw, std::size_t k) {
        auto* c = static_cast<Context*>(raw);
        const std::size_t begin = k * c->step;
        (*c->body)(begin, std::min(begin + c->step, c->n));
      },
      &context, poll);
}

}  // namespace zandrel
