#pragma once
// Binding a call's arguments to a function's parameters, and converting each
// one to a plain value or a read-only strided view of a NumPy array. Every
// conversion failure throws PythonErrorSet with the interpreter's exception
// set and the note "while processing '<name>'" attached.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/strided_view.hpp"
#include "frame/python.hpp"

namespace velkor::py {

struct FunctionDescription {
  const char* name;
  std::span<const char* const> parameters;  // all positional-or-keyword
  std::size_t required;                     // leading parameters without default
};

inline constexpr std::size_t kMaxParameters = 12;

class Arguments {
 public:
  // Binds or throws PythonErrorSet with the binding TypeError set.
  Arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs);

  const FunctionDescription& description() const { return *description_; }
  // The argument was passed (possibly as None).
  bool given(std::size_t i) const { return slots_[i] != nullptr; }
  // The argument was passed and is not None: for parameters whose default is None.
  bool given_not_none(std::size_t i) const { return slots_[i] != nullptr && slots_[i] != Py_None; }
  PyObject* raw(std::size_t i) const { return slots_[i]; }

  double to_double(std::size_t i) const;
  double to_double(std::size_t i, double default_value) const;    // absent: default; None refused
  std::optional<double> to_optional_double(std::size_t i) const;  // absent or None: no value
  std::uint64_t to_count(std::size_t i) const;
  std::uint64_t to_count(std::size_t i, std::uint64_t default_value) const;
  std::string to_string(std::size_t i) const;
  std::string to_string(std::size_t i, const char* default_value) const;
  std::vector<double> to_double_vector(std::size_t i) const;
  std::vector<std::uint64_t> to_count_vector(std::size_t i) const;
  std::vector<double> to_fixed_vector(std::size_t i, std::size_t length) const;

  // NumPy arrays of the exact dtype (double, bool or std::int64_t) and number
  // of dimensions; never copied, any strides.
  template <class T>
  StridedView1D<T> to_array1d(std::size_t i) const;
  template <class T>
  StridedView2D<T> to_array2d(std::size_t i) const;
  // absent or None: no value
  template <class T>
  std::optional<StridedView1D<T>> to_optional_array1d(std::size_t i) const;
  template <class T>
  std::optional<StridedView2D<T>> to_optional_array2d(std::size_t i) const;

  // Raises the pending exception with the note naming parameter i.
  [[noreturn]] void fail_with_note(std::size_t i) const;

 private:
  const FunctionDescription* description_;
  std::array<PyObject*, kMaxParameters> slots_{};
};

}  // namespace velkor::py
