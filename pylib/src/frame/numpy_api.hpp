#pragma once
// NumPy's C interface, reached through this header only: the translation
// unit behind it is the one place that includes NumPy and owns the API
// table, which is imported on first use.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "frame/py_ref.hpp"
#include "frame/slice_container.hpp"

namespace velkor::py {

enum class DType { Float64, Bool, Int64 };

struct ArrayLayout {
  const char* data;
  int ndim;
  const std::int64_t* shape;    // ndim entries
  const std::int64_t* strides;  // ndim entries, bytes
};

// Whether obj is a NumPy array (or subclass) with exactly `ndim` dimensions
// and a dtype equivalent to `dtype`; fills `layout` when it is.
bool matches_array(PyObject* obj, DType dtype, int ndim, ArrayLayout& layout);

// What an array parameter expects, as "ndarray[float64, ndim=2]".
std::string describe_array_kind(DType dtype, int ndim);

// A C-contiguous writeable array over the owner's buffer, with the owner as
// its base; shapes of two or more dimensions are reached by reshaping a
// one-dimensional array over the whole buffer.
PyRef array_over(SliceContainerHandle owner, void* data, DType dtype, std::initializer_list<std::int64_t> shape);

}  // namespace velkor::py
