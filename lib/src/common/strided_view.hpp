#pragma once
// Read-only views over caller memory with arbitrary byte strides (negative
// strides included). Elements are read with memcpy so unaligned buffers are
// fine. The views never own anything.
#include <cstdint>
#include <cstring>

namespace velkor {

template <class T>
struct StridedView1D {
  const char* data = nullptr;
  std::int64_t size = 0;
  std::int64_t stride = sizeof(T);  // in bytes

  T operator[](std::int64_t i) const {
    T value;
    std::memcpy(&value, data + i * stride, sizeof(T));
    return value;
  }
};

template <class T>
struct StridedView2D {
  const char* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;  // in bytes
  std::int64_t col_stride = sizeof(T);

  T operator()(std::int64_t r, std::int64_t c) const {
    T value;
    std::memcpy(&value, data + r * row_stride + c * col_stride, sizeof(T));
    return value;
  }
};

// NumPy bools are one byte each, 0 or 1; read them as bytes so that any
// non-zero byte counts as true.
template <>
inline bool StridedView1D<bool>::operator[](std::int64_t i) const {
  return data[i * stride] != 0;
}

template <>
inline bool StridedView2D<bool>::operator()(std::int64_t r, std::int64_t c) const {
  return data[r * row_stride + c * col_stride] != 0;
}

}  // namespace velkor
