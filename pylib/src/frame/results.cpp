#include "frame/results.hpp"

#include <memory>

#include "common/internal_failure.hpp"
#include "frame/errors.hpp"
#include "frame/numpy_api.hpp"
#include "frame/slice_container.hpp"
#include "geometry/geol_axis.hpp"

namespace velkor::py {

PyRef float_object(double value) { return checked(PyFloat_FromDouble(value)); }
PyRef int_object(std::int64_t value) { return checked(PyLong_FromLongLong(value)); }
PyRef count_object(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
PyRef bool_object(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }
PyRef none_object() { return PyRef::borrow(Py_None); }

PyRef tuple_of(std::initializer_list<PyRef> items) {
  PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t index = 0;
  for (const PyRef& item : items) {
    PyRef owned = item;
    // SetItem steals the reference.
    if (PyTuple_SetItem(tuple.get(), index++, owned.release()) < 0) throw_python_error();
  }
  return tuple;
}

PyRef tuple_of(Vec3 v) { return tuple_of({float_object(v.e), float_object(v.n), float_object(v.u)}); }

PyRef tuple_of(double first, double second) { return tuple_of({float_object(first), float_object(second)}); }

PyRef axis_tuple(Vec3 direction) {
  const TrendPlunge axis = trend_plunge_of(direction);
  return tuple_of(axis.trend, axis.plunge);
}

namespace {

// A list of n items, item i made by make(i).
template <class Make>
PyRef list_made_of(std::size_t n, Make&& make) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    // PyList_SetItem steals the item, even when it fails.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make(i).release()) != 0) throw_python_error();
  }
  return list;
}

}  // namespace

PyRef list_of(Vec3 v) {
  const double values[3] = {v.e, v.n, v.u};
  return list_of_doubles(values);
}

PyRef list_of(std::vector<PyRef>&& items) {
  return list_made_of(items.size(), [&](std::size_t i) { return std::move(items[i]); });
}

PyRef list_of_doubles(std::span<const double> values) {
  return list_made_of(values.size(), [&](std::size_t i) { return float_object(values[i]); });
}

PyRef list_of_counts(std::span<const std::uint64_t> values) {
  return list_made_of(values.size(), [&](std::size_t i) { return count_object(values[i]); });
}

PyRef int_of(const WideCount& count) {
  // Most significant limb first: r = (r << 64) | limb.
  const PyRef shift = count_object(64);
  PyRef value = count_object(0);
  const auto& limbs = count.limbs();
  for (auto limb = limbs.rbegin(); limb != limbs.rend(); ++limb) {
    const PyRef shifted = checked(PyNumber_Lshift(value.get(), shift.get()));
    value = checked(PyNumber_Or(shifted.get(), count_object(*limb).get()));
  }
  return value;
}

namespace {

template <class T>
PyRef array_from_buffer(std::vector<T>&& buffer, DType dtype, std::initializer_list<std::int64_t> shape) {
  std::int64_t total = 1;
  for (const std::int64_t extent : shape) total *= extent;
  if (total != static_cast<std::int64_t>(buffer.size())) fail_invariant("result shape does not match its buffer");
  // An empty vector may have no storage at all, and NumPy would allocate its
  // own memory for a NULL data pointer; give it a real (unused) address.
  if (buffer.capacity() == 0) buffer.reserve(1);
  auto owned = std::make_unique<std::vector<T>>(std::move(buffer));
  void* data = owned->data();
  return array_over(own_vector(std::move(owned)), data, dtype, shape);
}

}  // namespace

PyRef array_of(std::vector<double>&& buffer, std::initializer_list<std::int64_t> shape) {
  return array_from_buffer(std::move(buffer), DType::Float64, shape);
}

PyRef bool_array_of(std::vector<std::uint8_t>&& buffer, std::initializer_list<std::int64_t> shape) {
  return array_from_buffer(std::move(buffer), DType::Bool, shape);
}

PyRef array_of(std::vector<std::int64_t>&& buffer, std::initializer_list<std::int64_t> shape) {
  return array_from_buffer(std::move(buffer), DType::Int64, shape);
}

DictBuilder::DictBuilder() : dict_(checked(PyDict_New())) {}

DictBuilder& DictBuilder::set(const char* key, PyRef value) {
  PyRef name = checked(PyUnicode_FromString(key));
  if (PyDict_SetItem(dict_.get(), name.get(), value.get()) < 0) throw_python_error();
  return *this;
}

}  // namespace velkor::py
