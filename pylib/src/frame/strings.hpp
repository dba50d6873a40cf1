#pragma once
// Reading text out of Python objects. Both throw PythonErrorSet when the
// interpreter fails.
#include <string>

#include "frame/python.hpp"

namespace velkor::py {

// The UTF-8 bytes of a str.
std::string utf8_of(PyObject* text);

// The __name__ of the object's type, as messages name it ("list", "ndarray").
std::string type_name_of(PyObject* object);

}  // namespace velkor::py
