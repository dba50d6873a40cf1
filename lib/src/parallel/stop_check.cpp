#include "parallel/stop_check.hpp"

#include <ctime>

namespace velkor {
namespace {

// Milliseconds of a monotonic clock. The coarse clock (a few milliseconds of
// resolution, fine enough for any interval here) is read without a system
// call in a few nanoseconds.
std::int64_t monotonic_milliseconds() noexcept {
#if defined(CLOCK_MONOTONIC_COARSE)
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#else
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

}  // namespace

StopCheck::StopCheck(Ask ask, void* context, std::chrono::milliseconds interval)
    : ask_(ask),
      context_(context),
      interval_(interval),
      owner_(std::this_thread::get_id()),
      next_ask_(monotonic_milliseconds() + interval.count()) {}

bool StopCheck::stop_requested() noexcept {
  if (fired()) return true;
  if (std::this_thread::get_id() != owner_) return false;
  const std::int64_t now = monotonic_milliseconds();
  if (now < next_ask_) return false;
  if (ask_(context_)) {
    fired_.store(true, std::memory_order_relaxed);
    return true;
  }
  // Counted from the end of the question: asking may have waited for the owner.
  next_ask_ = monotonic_milliseconds() + interval_.count();
  return false;
}

StopScope::StopScope(StopCheck* check) noexcept : previous_{detail::poll_state.check, detail::poll_state.owner} {
  detail::poll_state.check = check;
  detail::poll_state.owner = check != nullptr && check->owned_by_this_thread();
}

StopScope::~StopScope() {
  detail::poll_state.check = previous_.check;
  detail::poll_state.owner = previous_.owner;
}

namespace detail {

thread_local PollState poll_state;

void throw_interrupted() { throw Interrupted{}; }

}  // namespace detail

}  // namespace velkor
