#include "core/operator/pieces.hpp"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/interrupt.hpp"

namespace zandrel {

void* allocate_workspace(std::size_t bytes) {
  constexpr std::size_t huge_page = std::size_t{2} << 20;
  if (bytes >= 2 * huge_page) {
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void* p = std::aligned_alloc(huge_page, rounded);
    if (p == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    madvise(p, rounded, MADV_HUGEPAGE);  // a hint: where it is refused, small pages serve
#endif
    return p;
  }
  void* p = std::malloc(bytes > 0 ? bytes : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void FreeWorkspace::operator()(void* p) const noexcept { std::free(p); }

void run_pieces(std::size_t npieces, std::size_t concurrency, TaskFn piece, void* context) {
  if (npieces == 0) return;
  // Workers take the next piece from a shared counter; a piece's result does
  // not depend on the worker, so the outcome is that of a serial loop.
  struct Shared {
    TaskFn piece;
    void* context;
    std::size_t npieces;
    std::atomic<std::size_t> next{0};
    std::vector<std::exception_ptr> failures;
  } shared{piece, context, npieces, {}, std::vector<std::exception_ptr>(npieces)};
  const TaskFn worker = [](void* raw, std::size_t) {
    auto* s = static_cast<Shared*>(raw);
    for (;;) {
      const std::size_t k = s->next.fetch_add(1);
      if (k >= s->npieces) break;
      checkpoint();  // an interruption ends the walk; it is not a piece's failure
      try {
        s->piece(s->context, k);
      } catch (const Interrupted&) {
        throw;
      } catch (...) {
        s->failures[k] = std::current_exception();
      }
    }
  };
  const std::size_t nworkers = std::max<std::size_t>(1, std::min(concurrency, npieces));
  run_tasks(nworkers, worker, &shared);
  for (auto& failure : shared.failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace zandrel
