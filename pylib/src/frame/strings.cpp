#include "frame/strings.hpp"

#include "frame/errors.hpp"

namespace velkor::py {

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name_of(PyObject* object) {
  PyRef name = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  return utf8_of(name.get());
}

}  // namespace velkor::py
