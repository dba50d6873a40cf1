#pragma once
// Refusing buffers that could never be backed by memory. On systems that
// overcommit, such an allocation may succeed and the process is killed when
// the pages are touched; a buffer larger than the machine's physical memory
// is refused up front with std::bad_alloc (MemoryError in Python) instead.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace velkor {

// Physical memory in bytes, or the largest size_t when it is not known.
inline std::size_t physical_memory_bytes() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0 &&
      static_cast<std::uint64_t>(pages) <=
          std::numeric_limits<std::size_t>::max() / static_cast<std::uint64_t>(page_size)) {
    return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
  }
#endif
  return std::numeric_limits<std::size_t>::max();
}

// Throws std::bad_alloc unless `count` items of `item_bytes` each fit in
// physical memory (and in a size_t at all).
inline void require_memory_for(std::uint64_t count, std::size_t item_bytes) {
  static const std::size_t limit = physical_memory_bytes();
  if (item_bytes != 0 && count > limit / item_bytes) throw std::bad_alloc();
}

}  // namespace velkor
