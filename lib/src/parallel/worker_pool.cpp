#include "parallel/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "parallel/stop_check.hpp"

namespace velkor {

namespace {

// One running parallel_for. It lives on the caller's stack; the caller does
// not return before every worker that attached to it has detached.
struct Job {
  std::size_t n = 0;
  std::size_t chunk = 1;
  std::size_t chunks = 0;
  const std::function<void(std::size_t, std::size_t, std::size_t)>* body = nullptr;
  StopCheck* stop = nullptr;  // the caller's check, carried to the workers
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // guarded by Shared::mutex
  std::size_t attached = 0;  // workers inside run_chunks; guarded by Shared::mutex

  bool exhausted() const {
    return failed.load(std::memory_order_relaxed) || next.load(std::memory_order_relaxed) >= chunks;
  }
};

// True on worker threads, and on a caller while it works on its own loop:
// a loop started there runs inline instead of waiting on the pool it is
// already part of.
thread_local bool inside_loop = false;

class InsideLoop {
 public:
  InsideLoop() : previous_(inside_loop) { inside_loop = true; }
  ~InsideLoop() { inside_loop = previous_; }
  InsideLoop(const InsideLoop&) = delete;
  InsideLoop& operator=(const InsideLoop&) = delete;

 private:
  bool previous_;
};

std::pair<std::size_t, std::size_t> chunk_range(const Job& job, std::size_t k) {
  const std::size_t begin = k * job.chunk;
  const std::size_t end = job.n - begin <= job.chunk ? job.n : begin + job.chunk;
  return {begin, end};
}

void run_inline(std::size_t n, std::size_t chunk,
                const std::function<void(std::size_t, std::size_t, std::size_t)>& body) {
  InsideLoop guard;
  for (std::size_t begin = 0; begin < n;) {
    poll_stop();
    const std::size_t end = n - begin <= chunk ? n : begin + chunk;
    body(0, begin, end);
    begin = end;
  }
}

}  // namespace

struct WorkerPool::Shared {
  std::mutex mutex;
  std::condition_variable work_ready;    // a job was queued
  std::condition_variable job_released;  // a worker detached from a job
  std::deque<Job*> jobs;                 // oldest first

  void run_chunks(Job& job, std::size_t slot) {
    const StopScope scope(job.stop);
    while (!job.failed.load(std::memory_order_relaxed)) {
      const std::size_t k = job.next.fetch_add(1, std::memory_order_relaxed);
      if (k >= job.chunks) return;
      const auto [begin, end] = chunk_range(job, k);
      try {
        poll_stop();
        (*job.body)(slot, begin, end);
      } catch (...) {
        std::lock_guard lock(mutex);
        if (!job.error) job.error = std::current_exception();
        job.failed.store(true, std::memory_order_relaxed);
      }
    }
  }

  [[noreturn]] void worker_main(std::size_t slot) {
    inside_loop = true;
    std::unique_lock lock(mutex);
    for (;;) {
      work_ready.wait(lock, [this] { return !jobs.empty(); });
      Job* job = jobs.front();
      if (job->exhausted()) {
        jobs.pop_front();
        continue;
      }
      ++job->attached;
      lock.unlock();
      run_chunks(*job, slot);
      lock.lock();
      if (--job->attached == 0) job_released.notify_all();
    }
  }
};

WorkerPool::WorkerPool(std::size_t threads) : shared_(new Shared) {
  // Workers start with every signal blocked so that signals keep going to the
  // interpreter's own threads.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      std::thread(&Shared::worker_main, shared_, i).detach();
      ++worker_count_;
    } catch (const std::system_error&) {
      break;  // the system gave us fewer threads than asked: work with those
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void WorkerPool::parallel_for(std::size_t n, std::size_t chunk,
                              const std::function<void(std::size_t, std::size_t)>& body) {
  parallel_for_slots(n, chunk, [&body](std::size_t, std::size_t begin, std::size_t end) { body(begin, end); });
}

void WorkerPool::parallel_for_slots(std::size_t n, std::size_t chunk,
                                    const std::function<void(std::size_t, std::size_t, std::size_t)>& body) {
  if (n == 0) return;
  chunk = std::max<std::size_t>(chunk, 1);
  const std::size_t chunks = n / chunk + (n % chunk != 0 ? 1 : 0);
  if (inside_loop || worker_count_ == 0 || chunks == 1) {
    run_inline(n, chunk, body);
    return;
  }

  Job job;
  job.n = n;
  job.chunk = chunk;
  job.chunks = chunks;
  job.body = &body;
  job.stop = current_stop_check();
  {
    std::lock_guard lock(shared_->mutex);
    shared_->jobs.push_back(&job);
  }
  if (chunks - 1 >= worker_count_) {
    shared_->work_ready.notify_all();
  } else {
    for (std::size_t i = 0; i + 1 < chunks; ++i) shared_->work_ready.notify_one();
  }

  {
    // The workers use slots 0 .. worker_count_ - 1; the caller takes the last.
    InsideLoop guard;
    shared_->run_chunks(job, worker_count_);
  }

  std::unique_lock lock(shared_->mutex);
  auto& jobs = shared_->jobs;
  if (auto it = std::find(jobs.begin(), jobs.end(), &job); it != jobs.end()) jobs.erase(it);
  const auto released = [&job] { return job.attached == 0; };
  if (job.stop == nullptr) {
    shared_->job_released.wait(lock, released);
  } else {
    // Waiting for the last chunks, the caller keeps asking whether to stop;
    // once it should, the workers leave their chunks at their next poll.
    while (!shared_->job_released.wait_for(lock, job.stop->interval(), released)) {
      lock.unlock();
      job.stop->stop_requested();
      lock.lock();
    }
  }
  if (job.error) std::rethrow_exception(job.error);
}

std::optional<std::size_t> WorkerPool::parse_size(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return std::nullopt;
  std::size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(*p - '0');
    if (value > (static_cast<std::size_t>(-1) - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t WorkerPool::configured_size() {
  const auto logical = [] { return std::max<std::size_t>(std::thread::hardware_concurrency(), 1); };
  if (const auto size = parse_size(std::getenv("RAYON_NUM_THREADS"))) {
    return *size > 0 ? *size : logical();
  }
  if (const auto size = parse_size(std::getenv("RAYON_RS_NUM_CPUS")); size && *size > 0) {
    return *size;
  }
  return logical();
}

namespace {

std::atomic<WorkerPool*> current_pool{nullptr};
std::mutex creation_mutex;
bool fork_handlers_installed = false;  // guarded by creation_mutex

// Holding the creation lock across fork() means the child never inherits a
// half-built pool. The child's copy of the pool has no threads behind it (fork
// copies only the forking thread), so the child drops it, unused and leaked on
// purpose, and builds its own on its next parallel call.
void before_fork() { creation_mutex.lock(); }
void after_fork_in_parent() { creation_mutex.unlock(); }
void after_fork_in_child() {
  current_pool.store(nullptr, std::memory_order_relaxed);
  creation_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::instance() {
  if (WorkerPool* pool = current_pool.load(std::memory_order_acquire)) return *pool;
  std::lock_guard lock(creation_mutex);
  WorkerPool* pool = current_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    if (!fork_handlers_installed) {
      pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
      fork_handlers_installed = true;
    }
    // Never deleted: worker threads may still be waiting on it at exit.
    pool = new WorkerPool(configured_size() - 1);
    current_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

}  // namespace velkor
