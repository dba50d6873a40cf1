#pragma once
// Storage for large per-call copies that are written in full as soon as they
// exist (a DEM's elevations, a cloud's points). Nothing is initialised: the
// copy is the first write. On Linux, blocks of several megabytes are mapped
// on their own and marked for transparent huge pages, so that filling 128 MB
// takes some sixty page faults instead of thirty thousand; on this kind of
// machine a 4 KiB fault costs more than copying the page.
#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace velkor {

// Raw bytes at the given alignment (a power of two), zero-filled when asked
// (a fresh mapping already is: its pages are then made present in order,
// polling for a stop between huge pages); throws std::bad_alloc when they
// cannot be had.
class FreshBlock {
 public:
  FreshBlock() = default;
  FreshBlock(std::size_t bytes, std::size_t alignment, bool zeroed);
  ~FreshBlock();
  FreshBlock(FreshBlock&& other) noexcept { swap(other); }
  FreshBlock& operator=(FreshBlock&& other) noexcept {
    FreshBlock(std::move(other)).swap(*this);
    return *this;
  }
  FreshBlock(const FreshBlock&) = delete;
  FreshBlock& operator=(const FreshBlock&) = delete;

  void* data() const { return data_; }

 private:
  void swap(FreshBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(mapping_, other.mapping_);
    std::swap(mapped_bytes_, other.mapped_bytes_);
  }
  void* data_ = nullptr;
  void* mapping_ = nullptr;  // non-null: data_ lies in a mapping of its own
  std::size_t mapped_bytes_ = 0;
};

// `count` elements of a trivially copyable type, uninitialised or all bits
// zero.
template <class T>
class FreshArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  FreshArray() = default;
  explicit FreshArray(std::size_t count) : FreshArray(count, false) {}
  static FreshArray zeroed(std::size_t count) { return FreshArray(count, true); }

  T* data() { return static_cast<T*>(block_.data()); }
  const T* data() const { return static_cast<const T*>(block_.data()); }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

 private:
  FreshArray(std::size_t count, bool zero) : block_(checked_bytes(count), alignof(T), zero), size_(count) {}
  static std::size_t checked_bytes(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return count * sizeof(T);
  }
  FreshBlock block_;
  std::size_t size_ = 0;
};

}  // namespace velkor
