#include "core/parallel.hpp"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
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

thread_local bool inside_worker = false;

// Runs submitted jobs one at a time; each job is a numbered set of tasks that
// workers (and nobody else) pick up in order.
class WorkerPool {
 public:
  explicit WorkerPool(std::size_t nworkers) {
    workers_.reserve(nworkers);
    for (std::size_t i = 0; i < nworkers; ++i) workers_.emplace_back([this] { work(); });
  }
  // The pool lives until the process ends; workers are detached at exit so
  // that interpreter shutdown never waits on them.
  ~WorkerPool() {
    for (auto& w : workers_) w.detach();
  }

  // With a poll, the calling thread asks it every period while the tasks
  // run; once it says stop, `stop` is set (for the tasks to see) and the
  // waiting goes on until they have ended.
  void run(std::size_t ntasks, TaskFn fn, void* context, const Poll* poll = nullptr,
           std::atomic<bool>* stop = nullptr) {
    std::lock_guard<std::mutex> submit(submit_mutex_);
    std::vector<std::exception_ptr> failures(ntasks);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fn_ = fn;
      context_ = context;
      ntasks_ = ntasks;
      next_ = 0;
      remaining_ = ntasks;
      failures_ = failures.data();
    }
    work_ready_.notify_all();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      const auto done = [this] { return remaining_ == 0; };
      if (poll != nullptr && poll->fn != nullptr) {
        while (!all_done_.wait_for(lock, std::chrono::milliseconds(poll->period_ms), done)) {
          if (stop->load()) continue;
          lock.unlock();
          const bool stop_now = poll->fn(poll->context);
          lock.lock();
          if (stop_now) stop->store(true);
        }
      } else {
        all_done_.wait(lock, done);
      }
      failures_ = nullptr;
      fn_ = nullptr;
    }
    for (auto& failure : failures)
      if (failure) std::rethrow_exception(failure);
  }

 private:
  void work() {
    inside_worker = true;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [this] { return fn_ != nullptr && next_ < ntasks_; });
      const std::size_t k = next_++;
      TaskFn fn = fn_;
      void* context = context_;
      std::exception_ptr* failures = failures_;
      lock.unlock();
      try {
        fn(context, k);
      } catch (...) {
        failures[k] = std::current_exception();
      }
      lock.lock();
      if (--remaining_ == 0) all_done_.notify_all();
    }
  }

  std::mutex submit_mutex_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable all_done_;
  TaskFn fn_ = nullptr;
  void* context_ = nullptr;
  std::size_t ntasks_ = 0;
  std::size_t next_ = 0;
  std::size_t remaining_ = 0;
  std::exception_ptr* failures_ = nullptr;
  std::vector<std::thread> workers_;
};

WorkerPool& pool() {
  // Created on first use, never destroyed (its threads outlive static
  // destruction order otherwise).
  static WorkerPool* instance = new WorkerPool(available_processors());
  return *instance;
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
  if (ntasks == 1 || inside_worker) {
    std::exception_ptr first;
    for (std::size_t k = 0; k < ntasks; ++k) {
      try {
        fn(context, k);
      } catch (...) {
        if (!first) first = std::current_exception();
      }
    }
    if (first) std::rethrow_exception(first);
    return;
  }
  pool().run(ntasks, fn, context);
}

void run_tasks_polled(std::size_t ntasks, TaskFn fn, void* context, const Poll& poll, std::atomic<bool>& stop) {
  if (ntasks == 0) return;
  if (inside_worker) return run_tasks(ntasks, fn, context);
  pool().run(ntasks, fn, context, &poll, &stop);
}

}  // namespace zandrel
