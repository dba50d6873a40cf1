#pragma once
// The call guard: runs the wrapper with Ctrl-C watched for, and turns every
// way out into a return value the interpreter understands.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "common/internal_failure.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"

namespace velkor::py {

// Raises PanicException(message); aborts if even that fails.
void raise_panic(const char* message) noexcept;

[[noreturn]] inline void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// Runs body() -> PyRef and returns a new reference or NULL with an exception set.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
  SignalCheck signals;
  try {
    try {
      return body().release();
    } catch (const PythonErrorSet&) {
      return nullptr;
    } catch (const Interrupted&) {
      // A signal handler raised while the call ran: its exception is pending.
      if (PyErr_Occurred() == nullptr) raise_panic("interrupted without a pending exception");
      return nullptr;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    } catch (const std::length_error&) {
      // A buffer longer than the library can even ask for: out of room too.
      PyErr_NoMemory();
      return nullptr;
    } catch (const std::exception& failure) {
      raise_panic(failure.what());
      return nullptr;
    } catch (...) {
      raise_panic("unknown internal failure");
      return nullptr;
    }
  } catch (...) {
    abort_uncaught_panic();
  }
}

}  // namespace velkor::py
