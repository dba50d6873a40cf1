#include "frame/gil.hpp"

#include <utility>

namespace velkor::py {

PyThreadState*& released_thread_state() {
  thread_local PyThreadState* state = nullptr;
  return state;
}

bool SignalCheck::ask(void*) {
  if (released_thread_state() == nullptr) return PyErr_CheckSignals() != 0;
  // Taken back for a moment: a signal handler is Python code (and may even
  // call into this module, which is why the saved state is cleared meanwhile).
  PyEval_RestoreThread(std::exchange(released_thread_state(), nullptr));
  const bool raised = PyErr_CheckSignals() != 0;
  released_thread_state() = PyEval_SaveThread();
  return raised;
}

}  // namespace velkor::py
