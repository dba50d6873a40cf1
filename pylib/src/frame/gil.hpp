#pragma once
// Running heavy work with the interpreter lock released, and stopping it on
// Ctrl-C. The work must not touch any Python object (not even a Py_DECREF);
// hold views, not objects.
#include <chrono>

#include "frame/python.hpp"
#include "parallel/stop_check.hpp"

namespace velkor::py {

// The thread state saved by the innermost LockReleased of this thread, or
// nullptr while this thread holds the lock.
PyThreadState*& released_thread_state();

class LockReleased {
 public:
  LockReleased() : saved_state_(released_thread_state()) { released_thread_state() = PyEval_SaveThread(); }
  ~LockReleased() {
    PyEval_RestoreThread(released_thread_state());
    released_thread_state() = saved_state_;
  }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* saved_state_;
};

// Ctrl-C during a call. A StopCheck in force for the whole call asks the
// interpreter for pending signals (PyErr_CheckSignals), at most once per
// interval and only on the calling thread, taking the lock back for that
// moment where the work runs without it. When a signal handler raises (the
// default SIGINT handler raises KeyboardInterrupt) the check fires with that
// exception pending, and the core's next poll throws Interrupted.
class SignalCheck {
 public:
  static constexpr std::chrono::milliseconds kInterval{25};

  SignalCheck() : check_(&ask, nullptr, kInterval), scope_(&check_) {}

 private:
  static bool ask(void* unused);

  StopCheck check_;
  StopScope scope_;
};

// Runs work() with the lock released. When a signal handler raised meanwhile,
// the result is dropped and Interrupted thrown, with the lock held again.
template <class Work>
auto without_gil(Work&& work) {
  LockReleased released;
  auto result = work();
  throw_if_stopped();
  return result;
}

}  // namespace velkor::py
