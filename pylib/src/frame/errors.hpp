#pragma once
// Error plumbing of the frame. A wrapper that finds a Python exception set
// (or sets one) throws PythonErrorSet; the call guard returns NULL for it.
// InternalFailure (from the core) becomes PanicException in the guard.
#include <string>
#include <type_traits>
#include <utility>

#include "common/core_error.hpp"
#include "frame/py_ref.hpp"

namespace velkor::py {

struct PythonErrorSet {};

// Throws PythonErrorSet; a Python exception must already be set.
[[noreturn]] void throw_python_error();

// Returns the new reference, or throws PythonErrorSet when it is NULL.
PyRef checked(PyObject* new_reference);

[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);

// A refusal of the core: ValueError with message(error).
[[noreturn]] void raise_core_error(const CoreError& error);

// The value of a core result, or its refusal raised.
template <class T>
T or_raise(CoreResult<T>&& result) {
  if (!result) raise_core_error(result.error());
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// The PanicException class, created on first use.
PyObject* panic_exception_type();

}  // namespace velkor::py
