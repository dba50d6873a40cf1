#pragma once
// The description of every public function, in registration order: rows
// 0-9 are the kernels group, 10-14 the spatial-field group, 15-19 the
// mechanisms group. A row whose wrapper is null is not registered yet.
#include <array>
#include <cstddef>

#include "frame/arguments.hpp"
#include "wrappers.hpp"

namespace velkor::py {

struct FunctionEntry {
  FunctionDescription description;
  const char* docstring;  // text signature, "\n--\n\n", then the prose
  Wrapper wrapper;
};

inline constexpr std::size_t kFunctionCount = 20;

const std::array<FunctionEntry, kFunctionCount>& function_table();

// The method definition (name, call guard, flags, docstring) of row i.
PyMethodDef* method_definition(std::size_t row);

}  // namespace velkor::py
