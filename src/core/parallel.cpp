#include "core/parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zandrel {
namespace {

// cgroup v2 "cpu.max" holds "quota period" or "max period"; v1 splits them
// over two files. Returns 0 when no quota applies.
std::size_t cgroup_cpu_limit() {
  {
    std::ifstream f("/sys/fs/cgroup/cpu.max");
    std::string quota;
    double period = 0.0;
    if (f >> quota >> period && quota != "max" && period > 0.0) {
      const double q = std::stod(quota);
      if (q > 0.0) return static_cast<std::size_t>(std::ceil(q / period));
    }
  }
  std::ifstream fq("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
  std::ifstream fp("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  double q = -1.0, p = 0.0;
  if (fq >> q && fp >> p && q > 0.0 && p > 0.0) return static_cast<std::size_t>(std::ceil(q / p));
  return 0;
}

// Set on the pool's workers, and on a calling thread while it waits for the
// pool (the interrupt check may run host code that calls back into the
// core): a division started there runs inline instead of waiting on itself.
thread_local bool inside_parallel_section = false;

class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = previous_; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
  bool previous_;
};

// How often a waiting calling thread asks its interrupt check. A running task
// notices a cancellation at its next step (about 10 ms of work), so a
// pending Ctrl-C ends a call well within 0.2 s.
constexpr auto poll_interval = std::chrono::milliseconds(20);

// Runs tasks 0 .. ntasks-1 on the calling thread, each after the others'
// failures, except that an interruption stops at once.
void run_inline(std::size_t ntasks, TaskFn fn, void* context) {
  std::exception_ptr first;
  for (std::size_t k = 0; k < ntasks; ++k) {
    try {
      fn(context, k);
    } catch (const Interrupted&) {
      throw;
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

// One submitted evaluation, owned by the submitting thread's stack frame.
struct Job {
  TaskFn fn;
  void* context;
  std::size_t ntasks;
  std::size_t next = 0;       // first task not yet handed out
  std::size_t remaining;      // tasks handed out or waiting, not finished
  std::vector<std::exception_ptr> failures;
  std::atomic<bool> cancelled{false};

  Job(std::size_t n, TaskFn f, void* c) : fn(f), context(c), ntasks(n), remaining(n), failures(n) {}
};

// Runs submitted jobs one at a time; workers (and nobody else) pick up the
// tasks of the current job in order.
class WorkerPool {
 public:
  // Starts up to nworkers threads. A thread the system refuses to create
  // (thread or process limit) is not an error: the pool works with those it
  // has, or none, in which case every job runs on its calling thread.
  explicit WorkerPool(std::size_t nworkers) {
    workers_.reserve(nworkers);
    for (std::size_t i = 0; i < nworkers; ++i) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  // Never destroyed: the workers wait for work until the process ends.
  ~WorkerPool() = delete;

  std::size_t size() const { return workers_.size(); }

  void run(std::size_t ntasks, TaskFn fn, void* context) {
    Job job(ntasks, fn, context);
    bool interrupted = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // Another thread's job (possible when the host runs several calls at
      // once without a global lock) goes first; keep answering interrupts.
      while (job_ != nullptr) {
        if (pool_free_.wait_for(lock, poll_interval, [this] { return job_ == nullptr; })) break;
        lock.unlock();
        const bool stop = interrupt_pending();
        lock.lock();
        if (stop) throw Interrupted{};
      }
      job_ = &job;
      work_ready_.notify_all();
      const auto done = [&job] { return job.remaining == 0; };
      while (!all_done_.wait_for(lock, poll_interval, done)) {
        lock.unlock();
        interrupted = interrupt_pending();
        lock.lock();
        if (interrupted) {
          // Drop the tasks nobody has started; the running ones see the
          // flag at their next checkpoint and end within one step.
          job.remaining -= job.ntasks - job.next;
          job.next = job.ntasks;
          job.cancelled.store(true, std::memory_order_relaxed);
          all_done_.wait(lock, done);
          break;
        }
      }
      job_ = nullptr;
    }
    pool_free_.notify_one();
    if (interrupted) throw Interrupted{};
    for (auto& failure : job.failures)
      if (failure) std::rethrow_exception(failure);
  }

 private:
  void work() {
    inside_parallel_section = true;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [this] { return job_ != nullptr && job_->next < job_->ntasks; });
      Job& job = *job_;
      const std::size_t k = job.next++;
      lock.unlock();
      {
        const CancellationScope cancellation(&job.cancelled);
        try {
          job.fn(job.context, k);
        } catch (...) {
          job.failures[k] = std::current_exception();
        }
      }
      lock.lock();
      if (--job.remaining == 0) all_done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable all_done_;
  std::condition_variable pool_free_;
  Job* job_ = nullptr;
  std::vector<std::thread> workers_;
};

// The process's pool. After fork() the child has only the forking thread: the
// parent's workers do not exist there and its pool's mutex may be frozen in
// a locked state, so the child forgets that pool without touching it (its
// memory is left as it is) and starts a fresh one on first use. The creation
// mutex is held across fork() so that it is never copied locked.
std::atomic<WorkerPool*> current_pool{nullptr};
std::mutex creation_mutex;

void lock_creation() { creation_mutex.lock(); }
void unlock_creation() { creation_mutex.unlock(); }
void forget_pool_in_child() {
  current_pool.store(nullptr, std::memory_order_relaxed);
  creation_mutex.unlock();
}

WorkerPool& pool() {
  WorkerPool* p = current_pool.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard<std::mutex> lock(creation_mutex);
  p = current_pool.load(std::memory_order_relaxed);
  if (p == nullptr) {
    static const bool fork_handlers = pthread_atfork(&lock_creation, &unlock_creation, &forget_pool_in_child) == 0;
    (void)fork_handlers;
    p = new WorkerPool(available_processors());
    current_pool.store(p, std::memory_order_release);
  }
  return *p;
}

}  // namespace

std::size_t available_processors() {
  std::size_t n = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
  if (n == 0) n = std::thread::hardware_concurrency();
  const std::size_t quota = cgroup_cpu_limit();
  if (quota > 0 && quota < n) n = quota;
  return n == 0 ? 1 : n;
}

std::size_t get_nthreads(std::uint32_t nthreads_requested) {
  const std::size_t available = available_processors();
  if (nthreads_requested == 0) return available;
  return std::min<std::size_t>(nthreads_requested, available);
}

void run_tasks(std::size_t ntasks, TaskFn fn, void* context) {
  if (ntasks == 0) return;
  if (ntasks == 1 || inside_parallel_section) return run_inline(ntasks, fn, context);
  WorkerPool& workers = pool();
  if (workers.size() == 0) return run_inline(ntasks, fn, context);
  const FlagScope waiting(inside_parallel_section);
  workers.run(ntasks, fn, context);
}

std::size_t pool_workers() { return pool().size(); }

}  // namespace zandrel
