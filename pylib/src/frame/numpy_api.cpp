#include "frame/numpy_api.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL velkor_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include <numpy/arrayobject.h>

#include <vector>

#include "common/internal_failure.hpp"
#include "frame/errors.hpp"

namespace velkor::py {
namespace {

void ensure_numpy_api() {
  if (PyArray_API != nullptr) return;
  if (PyArray_ImportNumPyAPI() < 0) {
    PyErr_Clear();
    fail_invariant("Failed to access NumPy array API capsule");
  }
}

// Under the limited API PyTypeObject is opaque, so the array type comes
// straight from the table rather than through &PyArray_Type.
PyTypeObject* array_type() { return static_cast<PyTypeObject*>(PyArray_API[2]); }

int type_number(DType dtype) {
  switch (dtype) {
    case DType::Float64:
      return NPY_FLOAT64;
    case DType::Bool:
      return NPY_BOOL;
    case DType::Int64:
      return NPY_INT64;
  }
  fail_invariant("unknown dtype");
}

const char* dtype_name(DType dtype) {
  switch (dtype) {
    case DType::Float64:
      return "float64";
    case DType::Bool:
      return "bool";
    case DType::Int64:
      return "int64";
  }
  fail_invariant("unknown dtype");
}

}  // namespace

bool matches_array(PyObject* obj, DType dtype, int ndim, ArrayLayout& layout) {
  ensure_numpy_api();
  if (!PyObject_TypeCheck(obj, array_type())) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != ndim) return false;
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number(dtype));
  if (wanted == nullptr) throw_python_error();
  const bool same = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  if (!same) return false;
  static_assert(sizeof(npy_intp) == sizeof(std::int64_t));
  layout.data = PyArray_BYTES(array);
  layout.ndim = ndim;
  layout.shape = reinterpret_cast<const std::int64_t*>(PyArray_DIMS(array));
  layout.strides = reinterpret_cast<const std::int64_t*>(PyArray_STRIDES(array));
  return true;
}

std::string describe_array_kind(DType dtype, int ndim) {
  return std::string("ndarray[") + dtype_name(dtype) + ", ndim=" + std::to_string(ndim) + "]";
}

PyRef array_over(SliceContainerHandle owner, void* data, DType dtype, std::initializer_list<std::int64_t> shape) {
  ensure_numpy_api();
  std::int64_t total = 1;
  for (const std::int64_t extent : shape) total *= extent;
  PyArray_Descr* descr = PyArray_DescrFromType(type_number(dtype));
  if (descr == nullptr) throw_python_error();
  npy_intp flat_dims[1] = {static_cast<npy_intp>(total)};
  npy_intp flat_strides[1] = {static_cast<npy_intp>(PyDataType_ELSIZE(descr))};
  // NewFromDescr steals the descriptor.
  PyRef flat = checked(
      PyArray_NewFromDescr(array_type(), descr, 1, flat_dims, flat_strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  // SetBaseObject steals the owner, on failure too.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(flat.get()), owner.release()) < 0) throw_python_error();
  if (shape.size() == 1) return flat;
  std::vector<npy_intp> dims(shape.begin(), shape.end());
  PyArray_Dims new_shape{dims.data(), static_cast<int>(dims.size())};
  return checked(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat.get()), &new_shape, NPY_CORDER));
}

}  // namespace velkor::py
