#include "frame/slice_container.hpp"

#include "common/internal_failure.hpp"

namespace velkor::py {
namespace {

struct SliceContainerObject {
  PyObject_HEAD void* buffer;
  BufferRelease release;
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainerObject*>(self);
  if (container->release != nullptr) container->release(container->buffer);
  PyTypeObject* type = Py_TYPE(self);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory of arrays returned by velkor's kernels.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "_velkor.PySliceContainer", sizeof(SliceContainerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

PyTypeObject* slice_container_type() {
  // Created once, with the lock held, and kept for the life of the process.
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
  return type;
}

}  // namespace

SliceContainerHandle make_slice_container(void* buffer, BufferRelease release) {
  PyTypeObject* type = slice_container_type();
  PyObject* object = nullptr;
  if (type != nullptr) {
    auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    object = allocate(type, 0);
  }
  if (object == nullptr) {
    release(buffer);
    PyErr_Clear();
    fail_invariant("Failed to create slice container");
  }
  auto* container = reinterpret_cast<SliceContainerObject*>(object);
  container->buffer = buffer;
  container->release = release;
  return PyRef::steal(object);
}

}  // namespace velkor::py
