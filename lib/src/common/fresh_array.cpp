#include "common/fresh_array.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "parallel/stop_check.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velkor {
namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Below this a block comes from the allocator, which recycles memory
// between calls; above it the allocator would map fresh pages anyway.
constexpr std::size_t kOwnMappingFrom = std::size_t{4} << 20;
constexpr std::size_t kSmallPage = 4096;

// Makes every page of a fresh (all-zero) mapping present, in order, by
// writing the zero it already holds. A zeroed block is read and written at
// random from its first use, and each first touch of a page makes the kernel
// clear it: a huge page can take tens of milliseconds to clear on a virtual
// machine, and dozens of them could fall between two of the caller's polls.
// Here the clearing is the same work done up front, with a poll between huge
// pages, so that Ctrl-C is heard within one of them.
void make_present(char* data, std::size_t bytes) {
  for (std::size_t page = 0; page < bytes; page += kSmallPage) {
    if (page % kHugePage == 0) poll_stop();
    reinterpret_cast<volatile char*>(data)[page] = 0;
  }
}
#endif

}  // namespace

FreshBlock::FreshBlock(std::size_t bytes, std::size_t alignment, bool zeroed) {
  if (bytes == 0) return;
#if defined(__linux__)
  if (bytes >= kOwnMappingFrom && bytes <= SIZE_MAX - 2 * kHugePage && alignment <= kHugePage) {
    // Map one huge page more than needed and start on a huge-page boundary,
    // so that every huge page of the data can be backed as one.
    const std::size_t mapped = (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
    void* mapping = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    // Advice only: where huge pages are off, the block is still ordinary memory.
    madvise(reinterpret_cast<void*>(aligned), mapped - kHugePage, MADV_HUGEPAGE);
    if (zeroed) {
      try {
        make_present(reinterpret_cast<char*>(aligned), bytes);
      } catch (...) {
        munmap(mapping, mapped);
        throw;
      }
    }
    mapping_ = mapping;
    mapped_bytes_ = mapped;
    data_ = reinterpret_cast<void*>(aligned);
    return;
  }
#endif
  if (alignment < alignof(std::max_align_t)) alignment = alignof(std::max_align_t);
  if (bytes > SIZE_MAX - alignment) throw std::bad_alloc();
  // aligned_alloc wants a size that is a multiple of the alignment.
  data_ = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  if (data_ == nullptr) throw std::bad_alloc();
  if (zeroed) std::memset(data_, 0, bytes);
}

FreshBlock::~FreshBlock() {
#if defined(__linux__)
  if (mapping_ != nullptr) {
    munmap(mapping_, mapped_bytes_);
    return;
  }
#endif
  std::free(data_);
}

}  // namespace velkor
