// The worker pool and the division of targets into pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/octree/sort_by_indices.hpp"
#include "core/parallel.hpp"

namespace zandrel {
namespace {

std::vector<std::pair<std::size_t, std::size_t>> pieces_of(std::size_t targets, std::uint32_t requested) {
  std::mutex m;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  for_each_piece(targets, requested, [&](std::size_t b, std::size_t e) {
    std::lock_guard<std::mutex> lock(m);
    pieces.emplace_back(b, e);
  });
  std::sort(pieces.begin(), pieces.end());
  return pieces;
}

TEST(Parallel, PieceLengthIsFloorOfTargetsOverThreadsAtLeastOne) {
  EXPECT_EQ(piece_chunk(7, 4), 1u);
  EXPECT_EQ(piece_chunk(10, 4), 2u);
  EXPECT_EQ(piece_chunk(3, 8), 1u);
  EXPECT_EQ(piece_chunk(0, 2), 1u);
  EXPECT_EQ(piece_chunk(100, 1), 100u);
}

TEST(Parallel, PiecesCoverEveryTargetOnceInConsecutiveRuns) {
  const std::size_t n = get_nthreads(0);
  for (std::size_t targets : {1u, 2u, 5u, 7u, 10u, 64u, 1001u}) {
    const auto pieces = pieces_of(targets, 0);
    const std::size_t chunk = piece_chunk(targets, n);
    ASSERT_EQ(pieces.size(), (targets + chunk - 1) / chunk);
    std::size_t next = 0;
    for (auto [b, e] : pieces) {
      EXPECT_EQ(b, next);
      EXPECT_EQ(e - b, std::min(chunk, targets - b));
      next = e;
    }
    EXPECT_EQ(next, targets);
  }
  EXPECT_TRUE(pieces_of(0, 0).empty());
}

TEST(Parallel, ThreadCountRule) {
  const std::size_t available = available_processors();
  EXPECT_GE(available, 1u);
  EXPECT_EQ(get_nthreads(0), available);
  EXPECT_EQ(get_nthreads(1), 1u);
  EXPECT_EQ(get_nthreads(4294967295u), available);
}

TEST(Parallel, FailureOfOneTaskReachesTheCallerAfterAllTasksEnd) {
  struct Context {
    std::atomic<int> finished{0};
  } context;
  try {
    run_tasks(
        40,
        [](void* raw, std::size_t k) {
          if (k == 13 || k == 27) throw Panic("task " + std::to_string(k));
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          ++static_cast<Context*>(raw)->finished;
        },
        &context);
    FAIL() << "no exception";
  } catch (const Panic& p) {
    // The lowest failing task is reported, whatever the scheduling.
    EXPECT_STREQ(p.what(), "task 13");
  }
  EXPECT_EQ(context.finished.load(), 38);
  // The pool keeps working after a failure.
  EXPECT_EQ(pieces_of(9, 0).back().second, 9u);
}

TEST(Parallel, WorkRunsOnSeveralThreadsWhenAvailable) {
  if (available_processors() < 2) GTEST_SKIP() << "one processor";
  std::mutex m;
  std::set<std::thread::id> ids;
  for_each_piece(64, 0, [&](std::size_t, std::size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(m);
    ids.insert(std::this_thread::get_id());
  });
  EXPECT_GE(ids.size(), 2u);
}

TEST(Parallel, NestedDivisionRunsInline) {
  // A division started from inside a task must not wait on the busy pool.
  std::atomic<int> inner{0};
  std::atomic<int> outer{0};
  for_each_piece(4, 4, [&](std::size_t, std::size_t) {
    ++outer;
    for_each_piece(3, 0, [&](std::size_t b, std::size_t e) { inner += static_cast<int>(e - b); });
  });
  EXPECT_EQ(inner.load(), 3 * outer.load());
}

// An interrupt check that fires from its `after`-th question on.
struct CountingCheck {
  std::atomic<int> asked{0};
  int after = 0;
  static bool pending(void* self) {
    auto* c = static_cast<CountingCheck*>(self);
    return ++c->asked >= c->after;
  }
};

// Tasks that would never end on their own: each loops through checkpoints.
struct EndlessTasks {
  std::atomic<int> started{0};
  std::atomic<int> running{0};
  void operator()(std::size_t, std::size_t) {
    ++started;
    ++running;
    struct Leave {
      std::atomic<int>& r;
      ~Leave() { --r; }
    } leave{running};
    for (;;) {
      checkpoint();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

TEST(Parallel, InterruptCancelsTheTasksAndLeavesThePoolUsable) {
  for (std::uint32_t nthreads : {0u, 1u}) {  // on the pool; inline on the calling thread
    CountingCheck check;
    check.after = 3;
    EndlessTasks tasks;
    {
      const InterruptScope scope({&CountingCheck::pending, &check});
      EXPECT_THROW(for_each_piece(64, nthreads, std::ref(tasks)), Interrupted);
    }
    EXPECT_EQ(tasks.running.load(), 0);
    // Only the tasks running at the time had started; the rest were dropped.
    EXPECT_GE(tasks.started.load(), 1);
    EXPECT_LE(static_cast<std::size_t>(tasks.started.load()), std::max<std::size_t>(1, pool_workers()));
    EXPECT_EQ(pieces_of(9, 0).back().second, 9u);
  }
}

TEST(Parallel, TimedRunsCoverEveryItemOnceInOrder) {
  EXPECT_FALSE(interrupt_pending());  // no check installed: never interrupted
  for (std::size_t n : {std::size_t{0}, std::size_t{5}, std::size_t{1003}}) {
    std::size_t next = 0;
    for_each_timed_run(n, 8, [&](std::size_t k0, std::size_t k1) {
      EXPECT_EQ(k0, next);
      EXPECT_TRUE(k1 == n || (k1 - k0) % 8 == 0) << k0 << " " << k1;
      next = k1;
    });
    EXPECT_EQ(next, n);
  }
}

TEST(Parallel, SortInStepsEqualsSort) {
  std::mt19937_64 rng(5);
  for (std::size_t n : {std::size_t{0}, std::size_t{1000}, (std::size_t{1} << 18) + 1, std::size_t{700001}}) {
    std::vector<std::pair<std::uint64_t, std::size_t>> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = {rng() % 5000, i};  // repeated keys, distinct pairs
    auto expected = v;
    std::sort(expected.begin(), expected.end());
    sort_in_steps(v);
    EXPECT_EQ(v, expected) << n;
  }
}

TEST(Errors, Messages) {
  try {
    panic_index(4, 7);
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "index out of bounds: the len is 4 but the index is 7");
  }
  try {
    assert_eq(1, 2);
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "assertion `left == right` failed\n  left: 1\n right: 2");
  }
  std::vector<int> v{1, 2};
  EXPECT_THROW(at(v, 2), Panic);
  EXPECT_EQ(at(v, 1), 2);
}

}  // namespace
}  // namespace zandrel
