#pragma once
// Ending a long computation early, at the request of whoever started it.
//
// The caller puts a StopCheck in force on its thread (StopScope) for the
// duration of a computation. The computation's loops call poll_stop()
// between work items (nodes, rows, blocks of candidates); once the check has
// fired, poll_stop() throws Interrupted, so everything built so far is
// unwound and nothing half-done is returned. Loops that the worker pool runs
// under a check carry it to the workers.
//
// Polling is cheap: every thread reads an atomic flag; the thread that owns
// the check (the one that made it) also asks the owner's `ask` function, at
// most once per interval. Only that function decides to stop, and only on
// the owning thread; workers never call it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace velkor {

// What poll_stop() throws once the check in force has fired. Deliberately
// not a std::exception: no handler for failures may mistake it for one. The
// reason to stop is the owner's to know and report.
struct Interrupted {};

class StopCheck {
 public:
  // Asked on the owning thread; true means "stop now".
  using Ask = bool (*)(void* context);

  StopCheck(Ask ask, void* context, std::chrono::milliseconds interval);
  StopCheck(const StopCheck&) = delete;
  StopCheck& operator=(const StopCheck&) = delete;

  bool fired() const noexcept { return fired_.load(std::memory_order_relaxed); }
  std::chrono::milliseconds interval() const noexcept { return interval_; }
  bool owned_by_this_thread() const noexcept { return owner_ == std::this_thread::get_id(); }

  // Whether to stop: the flag, after asking the owner's function when called
  // on the owning thread and the interval has passed since it was last asked.
  bool stop_requested() noexcept;

 private:
  std::atomic<bool> fired_{false};
  Ask ask_;
  void* context_;
  std::chrono::milliseconds interval_;
  std::thread::id owner_;
  std::int64_t next_ask_;  // monotonic milliseconds; read and written by the owner only
};

// Puts a check in force on this thread (none for nullptr) until the end of
// the scope; the previous one is in force again afterwards.
class StopScope {
 public:
  explicit StopScope(StopCheck* check) noexcept;
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  struct Saved {
    StopCheck* check;
    bool owner;
  } previous_;
};

namespace detail {
// The check in force on this thread and whether this thread owns it.
struct PollState {
  StopCheck* check = nullptr;
  bool owner = false;
};
extern thread_local PollState poll_state;
[[noreturn]] void throw_interrupted();
}  // namespace detail

// The check in force on this thread, or nullptr.
inline StopCheck* current_stop_check() noexcept { return detail::poll_state.check; }

// Throws Interrupted when the check in force on this thread asks to stop;
// does nothing where no check is in force.
inline void poll_stop() {
  const detail::PollState& state = detail::poll_state;
  if (state.check == nullptr) return;
  if (state.owner ? state.check->stop_requested() : state.check->fired()) detail::throw_interrupted();
}

// Throws Interrupted when the check in force has already fired, without
// asking: for the end of a computation whose result must not be used then.
inline void throw_if_stopped() {
  if (StopCheck* check = current_stop_check(); check != nullptr && check->fired()) detail::throw_interrupted();
}

}  // namespace velkor
