#pragma once
// Running heavy work with the interpreter lock released. The work must not
// touch any Python object (not even a Py_DECREF); hold views, not objects.
#include <utility>

#include "frame/python.hpp"

namespace velkor::py {

// Per-thread count of "this thread holds the lock" marks set by the guards.
int& lock_counter();

class LockReleased {
 public:
  LockReleased() : saved_count_(lock_counter()) {
    lock_counter() = 0;
    state_ = PyEval_SaveThread();
  }
  ~LockReleased() {
    PyEval_RestoreThread(state_);
    lock_counter() = saved_count_;
  }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  int saved_count_;
  PyThreadState* state_;
};

template <class Work>
decltype(auto) without_gil(Work&& work) {
  LockReleased released;
  return std::forward<Work>(work)();
}

}  // namespace velkor::py
