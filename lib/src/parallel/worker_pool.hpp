#pragma once
// The process-wide pool of worker threads behind every parallel loop.
//
// A loop hands out its index range in chunks claimed from an atomic counter;
// the calling thread claims chunks too and returns only once every chunk is
// done. Items are written by index, so no result depends on which thread ran
// which chunk. Workers never touch the Python interpreter.
//
// Several threads may run loops at the same time (the Python lock is released
// around them): each loop is queued, every idle worker helps the oldest loop
// that still has unclaimed chunks, and each caller works on its own loop.
// A loop started from inside a loop body (on a worker or on a caller busy with
// its own loop) runs inline on that thread, so nesting never deadlocks.
//
// A StopCheck in force on the calling thread is in force in every chunk of
// its loop, on whichever thread: each chunk starts with poll_stop(), and the
// caller keeps asking the check while it waits for the workers' last chunks.
// Interrupted from a chunk ends the loop like any other exception.
#include <cstddef>
#include <functional>
#include <optional>

namespace velkor {

class WorkerPool {
 public:
  // The pool, created on first use (and again in a forked child, whose copy of
  // the parent's pool has no threads behind it).
  static WorkerPool& instance();

  // Number of threads that work on a loop, the calling thread included.
  std::size_t size() const { return worker_count_ + 1; }

  // Calls body(begin, end) on disjoint chunks of at most `chunk` items that
  // together cover [0, n). Blocks until every chunk is done. The first
  // exception thrown by any body is rethrown here after the loop; chunks not
  // yet started when it was thrown are skipped.
  void parallel_for(std::size_t n, std::size_t chunk, const std::function<void(std::size_t, std::size_t)>& body);

  // As parallel_for, and body(slot, begin, end) also learns which thread runs
  // the chunk: slot is below size(), and no two chunks with the same slot run
  // at the same time within one loop, so per-slot scratch needs no lock.
  void parallel_for_slots(std::size_t n, std::size_t chunk,
                          const std::function<void(std::size_t, std::size_t, std::size_t)>& body);

  // The size a pool built now would have: RAYON_NUM_THREADS, then
  // RAYON_RS_NUM_CPUS, then the number of logical processors.
  static std::size_t configured_size();

  // Reads one pool-size variable: a decimal integer gives its value (0 stands
  // for "the default"); anything else (absent, empty, spaces, signs, letters,
  // too large to count) is not a number and gives nullopt.
  static std::optional<std::size_t> parse_size(const char* text);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  struct Shared;  // the queue and its synchronisation; defined in the .cpp

 private:
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool() = default;  // never run: the pool lives as long as the process

  std::size_t worker_count_ = 0;
  Shared* shared_ = nullptr;
};

}  // namespace velkor
