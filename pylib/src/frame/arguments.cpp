#include "frame/arguments.hpp"

#include <cmath>

#include "common/internal_failure.hpp"
#include "common/memory_limit.hpp"
#include "frame/errors.hpp"
#include "frame/numpy_api.hpp"
#include "frame/py_ref.hpp"
#include "frame/strings.hpp"

namespace velkor::py {
namespace {

std::string callable_name(const FunctionDescription& description) { return std::string(description.name) + "()"; }

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
  if (names.size() == 1) return quoted(names[0]);
  if (names.size() == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ", ";
    if (i + 1 == names.size()) out += "and ";
    out += quoted(names[i]);
  }
  return out;
}

// The frame's own type error: "'{type}' object is not an instance of
// '{expected}'" with the name of the argument's type (plain "ndarray" for
// an array of another dtype), or "'None' is not an instance of '{expected}'".
void set_not_an_instance(PyObject* obj, const std::string& expected) {
  const std::string text = obj == Py_None
                               ? "'None' is not an instance of '" + expected + "'"
                               : "'" + type_name_of(obj) + "' object is not an instance of '" + expected + "'";
  PyErr_SetString(PyExc_TypeError, text.c_str());
}

// Adds the note to the pending exception; where add_note is unavailable or
// fails, the exception stands as it is.
void add_note_to_pending(const std::string& note) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyObject* result = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (result == nullptr) {
      PyErr_Clear();
    } else {
      Py_DECREF(result);
    }
  }
  PyErr_Restore(type, value, traceback);
}

double double_of(PyObject* obj, bool& failed) {
  const double value = PyFloat_AsDouble(obj);
  failed = value == -1.0 && PyErr_Occurred() != nullptr;
  return value;
}

std::uint64_t count_of(PyObject* obj, bool& failed) {
  failed = true;
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return 0;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return 0;
  failed = false;
  return value;
}

DType dtype_of_element(double*) { return DType::Float64; }
DType dtype_of_element(bool*) { return DType::Bool; }
DType dtype_of_element(std::int64_t*) { return DType::Int64; }

}  // namespace

Arguments::Arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs)
    : description_(&description) {
  const std::size_t parameter_count = description.parameters.size();
  if (parameter_count > kMaxParameters) fail_invariant("too many parameters for the binder");
  const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
  if (positional < 0) throw_python_error();

  if (static_cast<std::size_t>(positional) > parameter_count) {
    std::string text = callable_name(description) + " takes ";
    if (description.required == parameter_count) {
      text += std::to_string(parameter_count);
    } else {
      text += "from " + std::to_string(description.required) + " to " + std::to_string(parameter_count);
    }
    text += " positional arguments but " + std::to_string(positional) + (positional == 1 ? " was" : " were") + " given";
    raise_type_error(text);
  }
  for (Py_ssize_t i = 0; i < positional; ++i) slots_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) raise_type_error(callable_name(description) + " keywords must be strings");
      std::size_t found = parameter_count;
      for (std::size_t p = 0; p < parameter_count; ++p) {
        if (PyUnicode_CompareWithASCIIString(key, description.parameters[p]) == 0) {
          found = p;
          break;
        }
      }
      if (found == parameter_count) {
        raise_type_error(callable_name(description) + " got an unexpected keyword argument '" + utf8_of(key) + "'");
      }
      if (slots_[found] != nullptr) {
        raise_type_error(callable_name(description) + " got multiple values for argument '" +
                         description.parameters[found] + "'");
      }
      slots_[found] = value;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < description.required; ++p) {
    if (slots_[p] == nullptr) missing.push_back(description.parameters[p]);
  }
  if (!missing.empty()) {
    raise_type_error(callable_name(description) + " missing " + std::to_string(missing.size()) +
                     (missing.size() == 1 ? " required positional argument: " : " required positional arguments: ") +
                     join_names(missing));
  }
}

void Arguments::fail_with_note(std::size_t i) const {
  add_note_to_pending(std::string("while processing '") + description_->parameters[i] + "'");
  throw_python_error();
}

namespace {

PyObject* required_slot(PyObject* slot) {
  if (slot == nullptr) fail_invariant("a parameter without default was read while absent");
  return slot;
}

}  // namespace

double Arguments::to_double(std::size_t i) const {
  bool failed = false;
  const double value = double_of(required_slot(slots_[i]), failed);
  if (failed) fail_with_note(i);
  return value;
}

double Arguments::to_double(std::size_t i, double default_value) const {
  return given(i) ? to_double(i) : default_value;
}

std::optional<double> Arguments::to_optional_double(std::size_t i) const {
  if (!given_not_none(i)) return std::nullopt;
  return to_double(i);
}

std::uint64_t Arguments::to_count(std::size_t i) const {
  bool failed = false;
  const std::uint64_t value = count_of(required_slot(slots_[i]), failed);
  if (failed) fail_with_note(i);
  return value;
}

std::uint64_t Arguments::to_count(std::size_t i, std::uint64_t default_value) const {
  return given(i) ? to_count(i) : default_value;
}

std::string Arguments::to_string(std::size_t i) const {
  PyObject* obj = required_slot(slots_[i]);
  if (!PyUnicode_Check(obj)) {
    set_not_an_instance(obj, "str");
    fail_with_note(i);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) fail_with_note(i);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string Arguments::to_string(std::size_t i, const char* default_value) const {
  return given(i) ? to_string(i) : std::string(default_value);
}

namespace {

// Iterates a sequence (never a str), converting each element.
template <class Element, class Convert>
bool collect_sequence(PyObject* obj, std::vector<Element>& out, Convert convert) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_not_an_instance(obj, "Sequence");
    return false;
  }
  // The length is only a hint, but one the elements are then read against:
  // a length that physical memory could not hold is refused at once, as
  // building a list of it would be, instead of read element by element.
  const Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    require_memory_for(static_cast<std::uint64_t>(hint), sizeof(Element));
    out.reserve(static_cast<std::size_t>(hint));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
  if (!iterator) return false;
  while (PyObject* raw_item = PyIter_Next(iterator.get())) {
    PyRef item = PyRef::steal(raw_item);
    bool failed = false;
    const Element value = convert(item.get(), failed);
    if (failed) return false;
    out.push_back(value);
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace

std::vector<double> Arguments::to_double_vector(std::size_t i) const {
  std::vector<double> out;
  if (!collect_sequence(required_slot(slots_[i]), out, double_of)) fail_with_note(i);
  return out;
}

std::vector<std::uint64_t> Arguments::to_count_vector(std::size_t i) const {
  std::vector<std::uint64_t> out;
  if (!collect_sequence(required_slot(slots_[i]), out, count_of)) fail_with_note(i);
  return out;
}

std::vector<double> Arguments::to_fixed_vector(std::size_t i, std::size_t length) const {
  PyObject* obj = required_slot(slots_[i]);
  if (!PySequence_Check(obj)) {
    set_not_an_instance(obj, "Sequence");
    fail_with_note(i);
  }
  const Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) fail_with_note(i);
  if (static_cast<std::size_t>(size) != length) {
    const std::string text =
        "expected a sequence of length " + std::to_string(length) + " (got " + std::to_string(size) + ")";
    PyErr_SetString(PyExc_ValueError, text.c_str());
    fail_with_note(i);
  }
  std::vector<double> out(length);
  for (std::size_t k = 0; k < length; ++k) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, static_cast<Py_ssize_t>(k)));
    if (!item) fail_with_note(i);
    bool failed = false;
    out[k] = double_of(item.get(), failed);
    if (failed) fail_with_note(i);
  }
  return out;
}

namespace {

template <class T>
ArrayLayout array_layout(const Arguments& args, std::size_t i, int ndim) {
  PyObject* obj = args.raw(i);
  if (obj == nullptr) fail_invariant("a parameter without default was read while absent");
  const DType dtype = dtype_of_element(static_cast<T*>(nullptr));
  ArrayLayout layout{};
  if (!matches_array(obj, dtype, ndim, layout)) {
    set_not_an_instance(obj, describe_array_kind(dtype, ndim));
    args.fail_with_note(i);
  }
  return layout;
}

}  // namespace

template <class T>
StridedView1D<T> Arguments::to_array1d(std::size_t i) const {
  const ArrayLayout layout = array_layout<T>(*this, i, 1);
  return StridedView1D<T>{layout.data, layout.shape[0], layout.strides[0]};
}

template <class T>
StridedView2D<T> Arguments::to_array2d(std::size_t i) const {
  const ArrayLayout layout = array_layout<T>(*this, i, 2);
  return StridedView2D<T>{layout.data, layout.shape[0], layout.shape[1], layout.strides[0], layout.strides[1]};
}

template <class T>
std::optional<StridedView1D<T>> Arguments::to_optional_array1d(std::size_t i) const {
  if (!given_not_none(i)) return std::nullopt;
  return to_array1d<T>(i);
}

template <class T>
std::optional<StridedView2D<T>> Arguments::to_optional_array2d(std::size_t i) const {
  if (!given_not_none(i)) return std::nullopt;
  return to_array2d<T>(i);
}

#define VELKOR_ARRAY_CONVERSIONS(T)                                                              \
  template StridedView1D<T> Arguments::to_array1d<T>(std::size_t) const;                         \
  template StridedView2D<T> Arguments::to_array2d<T>(std::size_t) const;                         \
  template std::optional<StridedView1D<T>> Arguments::to_optional_array1d<T>(std::size_t) const; \
  template std::optional<StridedView2D<T>> Arguments::to_optional_array2d<T>(std::size_t) const;

VELKOR_ARRAY_CONVERSIONS(double)
VELKOR_ARRAY_CONVERSIONS(bool)
VELKOR_ARRAY_CONVERSIONS(std::int64_t)

#undef VELKOR_ARRAY_CONVERSIONS

}  // namespace velkor::py
