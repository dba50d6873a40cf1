// The module _velkor: its definition, its execution step, and the
// registration of the three function groups into the submodule `kernels`:
// the kernels group (surfaces, geometry, stress), the spatial-field group and
// the mechanisms group.
#include <initializer_list>
#include <string>

#include "common/internal_failure.hpp"
#include "frame/errors.hpp"
#include "frame/guard.hpp"
#include "frame/py_ref.hpp"
#include "frame/strings.hpp"
#include "functions.hpp"

namespace velkor::py {
namespace {

// The module's __all__, created as an empty list when it does not exist yet.
PyRef all_list_of(PyObject* module) {
  PyObject* existing = PyObject_GetAttrString(module, "__all__");
  if (existing == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    PyRef fresh = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", fresh.get()) < 0) throw_python_error();
    return fresh;
  }
  PyRef all = PyRef::steal(existing);
  if (!PyList_Check(all.get())) raise_type_error("'__all__' of a module must be a 'list'");
  return all;
}

void append_to_all(PyObject* module, PyObject* name) {
  PyRef all = all_list_of(module);
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    fail_invariant("could not append __name__ to __all__");
  }
}

void register_function(PyObject* kernels, PyMethodDef* definition) {
  PyRef module_name = checked(PyModule_GetNameObject(kernels));
  PyRef function = checked(PyCMethod_New(definition, kernels, module_name.get(), nullptr));
  PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) raise_type_error("the __name__ of a function must be a 'str'");
  append_to_all(kernels, name.get());
  if (PyObject_SetAttr(kernels, name.get(), function.get()) < 0) throw_python_error();
}

// One group: its wrapper files in order, each file's functions in order.
void register_group(PyObject* kernels, std::initializer_list<MethodTable> files) {
  for (const MethodTable methods : files) {
    for (PyMethodDef& definition : methods) register_function(kernels, &definition);
  }
}

void add_submodule(PyObject* parent, PyObject* submodule) {
  PyRef full_name = checked(PyObject_GetAttrString(submodule, "__name__"));
  const std::string dotted = utf8_of(full_name.get());
  const std::size_t dot = dotted.rfind('.');
  PyRef short_name =
      checked(PyUnicode_FromString(dot == std::string::npos ? dotted.c_str() : dotted.c_str() + dot + 1));
  append_to_all(parent, short_name.get());
  if (PyObject_SetAttr(parent, short_name.get(), submodule) < 0) throw_python_error();
}

void store_in_sys_modules(PyObject* parent, PyObject* submodule) {
  PyRef parent_name = checked(PyModule_GetNameObject(parent));
  PyRef key = checked(PyUnicode_FromFormat("%U.kernels", parent_name.get()));
  PyRef sys_name = checked(PyUnicode_FromString("sys"));
  PyRef sys = checked(PyImport_Import(sys_name.get()));
  PyRef modules = checked(PyObject_GetAttrString(sys.get(), "modules"));
  if (PyObject_SetItem(modules.get(), key.get(), submodule) < 0) throw_python_error();
}

void build_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    std::string text = "'";
    text += type_name_of(module);
    text += "' object is not an instance of 'module'";
    raise_type_error(text);
  }
  PyRef kernels_name = checked(PyUnicode_FromString("kernels"));
  PyRef kernels = checked(PyModule_NewObject(kernels_name.get()));
  register_group(kernels.get(), {surface_methods(), geometry_methods(), stress_methods()});
  register_group(kernels.get(), {spatial_methods(), stress_field_methods()});
  register_group(kernels.get(), {mechanism_methods()});
  add_submodule(module, kernels.get());
  store_in_sys_modules(module, kernels.get());
}

int exec_module(PyObject* module) noexcept {
  PyObject* outcome = call_guarded([&] {
    build_module(module);
    return PyRef::borrow(Py_None);
  });
  if (outcome == nullptr) return -1;
  Py_DECREF(outcome);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_velkor", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velkor::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__velkor() {
  return PyModuleDef_Init(&velkor::py::module_definition);
}
