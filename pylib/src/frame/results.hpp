#pragma once
// Building result objects. Arrays are made over core-filled buffers without
// copying: the buffer moves into a PySliceContainer that becomes the array's
// base. Every function throws PythonErrorSet when the interpreter fails.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "common/wide_count.hpp"
#include "frame/py_ref.hpp"
#include "geometry/vec3.hpp"

namespace velkor::py {

PyRef float_object(double value);
PyRef int_object(std::int64_t value);
PyRef count_object(std::uint64_t value);
PyRef bool_object(bool value);
PyRef none_object();

PyRef tuple_of(Vec3 v);                       // (E, N, U)
PyRef tuple_of(double first, double second);  // (trend, plunge)
PyRef tuple_of(std::initializer_list<PyRef> items);
// The (trend, plunge) in degrees of a direction, unfolded.
PyRef axis_tuple(Vec3 direction);

PyRef list_of(Vec3 v);  // [E, N, U]
PyRef list_of(std::vector<PyRef>&& items);
PyRef list_of_doubles(std::span<const double> values);
PyRef list_of_counts(std::span<const std::uint64_t> values);

// An exact Python int, however large.
PyRef int_of(const WideCount& count);

// C-contiguous arrays of dtype float64, bool (one byte per flag) and int64.
// The product of `shape` must equal the buffer's size; shapes of two or more
// dimensions are reached by reshaping a flat array.
PyRef array_of(std::vector<double>&& buffer, std::initializer_list<std::int64_t> shape);
PyRef bool_array_of(std::vector<std::uint8_t>&& buffer, std::initializer_list<std::int64_t> shape);
PyRef array_of(std::vector<std::int64_t>&& buffer, std::initializer_list<std::int64_t> shape);

// A dict whose keys keep the order in which they are set.
class DictBuilder {
 public:
  DictBuilder();
  DictBuilder& set(const char* key, PyRef value);
  PyRef finish() { return std::move(dict_); }

 private:
  PyRef dict_;
};

}  // namespace velkor::py
