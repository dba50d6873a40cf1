#pragma once
// What a wrapper file exports about each of its functions: the name and
// parameters the binder uses, the docstring (text signature, "\n--\n\n", then
// the prose) and the wrapper itself, written beside the wrapper's code.
#include <cstddef>
#include <span>

#include "frame/arguments.hpp"
#include "frame/guard.hpp"
#include "frame/py_ref.hpp"

namespace velkor::py {

using Wrapper = PyRef (*)(const Arguments&);

struct FunctionEntry {
  FunctionDescription description;
  const char* docstring;
  Wrapper wrapper;
};

// The interpreter's entry point of one function: binds the call to the
// entry's parameters and runs its wrapper under the call guard.
template <const FunctionEntry& Entry>
PyObject* guarded_call(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  return call_guarded([&] { return Entry.wrapper(Arguments(Entry.description, args, kwargs)); });
}

template <const FunctionEntry& Entry>
PyMethodDef method_definition() {
  return {Entry.description.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_call<Entry>)),
          METH_VARARGS | METH_KEYWORDS | METH_STATIC, Entry.docstring};
}

// The method definitions of one wrapper file, in registration order. Function
// objects keep a pointer to their definition, so the definitions live in
// static storage.
using MethodTable = std::span<PyMethodDef>;

template <const FunctionEntry&... Entries>
MethodTable method_table() {
  static PyMethodDef methods[] = {method_definition<Entries>()...};
  return methods;
}

}  // namespace velkor::py
