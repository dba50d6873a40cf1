#pragma once
// Python lists of floats and ints, as the field functions return grid
// descriptions (origin, spacing, counts) in them.
#include <cstdint>
#include <span>

#include "frame/errors.hpp"
#include "frame/results.hpp"

namespace velkor::py {

inline PyRef list_of_doubles(std::span<const double> values) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    // PyList_SetItem steals the item, even when it fails.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), float_object(values[i]).release()) != 0) {
      throw_python_error();
    }
  }
  return list;
}

inline PyRef list_of_counts(std::span<const std::uint64_t> values) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), count_object(values[i]).release()) != 0) {
      throw_python_error();
    }
  }
  return list;
}

}  // namespace velkor::py
