#pragma once
// PySliceContainer: the Python object that owns a result buffer for as long
// as any NumPy array over it lives.
#include <memory>
#include <vector>

#include "frame/py_ref.hpp"

namespace velkor::py {

using SliceContainerHandle = PyRef;

using BufferRelease = void (*)(void*);

// A new container owning `buffer`, released by `release(buffer)` when the
// container dies. Failure to create it is an internal failure.
SliceContainerHandle make_slice_container(void* buffer, BufferRelease release);

template <class T>
SliceContainerHandle own_vector(std::unique_ptr<std::vector<T>> buffer) {
  // The container takes over the vector; it is given back to a unique_ptr to die.
  return make_slice_container(
      buffer.release(), [](void* p) { std::unique_ptr<std::vector<T>> reclaimed(static_cast<std::vector<T>*>(p)); });
}

}  // namespace velkor::py
