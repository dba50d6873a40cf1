#include "frame/errors.hpp"

#include "frame/guard.hpp"

namespace velkor::py {

void throw_python_error() { throw PythonErrorSet{}; }

PyRef checked(PyObject* new_reference) {
  if (new_reference == nullptr) throw_python_error();
  return PyRef::steal(new_reference);
}

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw_python_error();
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_python_error();
}

void raise_core_error(const CoreError& error) { raise_value_error(message(error)); }

namespace {

constexpr const char* kPanicDoc =
    "The exception raised when velkor's compiled code fails internally: an\n"
    "invariant that should hold on every input did not. It is a bug in velkor,\n"
    "never a judgement on the input. Like SystemExit, it derives from\n"
    "BaseException rather than Exception, so that `except Exception:` does not\n"
    "swallow it and it typically propagates all the way, ending the interpreter.";

}  // namespace

PyObject* panic_exception_type() {
  // Created once per process, on first use, with the lock held.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("_velkor.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (type == nullptr) Py_FatalError("Failed to initialize new exception type.");
  }
  return type;
}

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  PyObject* text = PyUnicode_FromString(message);
  if (text == nullptr) abort_uncaught_panic();
  PyObject* args = PyTuple_Pack(1, text);
  Py_DECREF(text);
  if (args == nullptr) abort_uncaught_panic();
  // An exception raised while handling another keeps only the new one: the
  // panic replaces whatever was pending.
  PyErr_SetObject(type, args);
  Py_DECREF(args);
}

}  // namespace velkor::py
