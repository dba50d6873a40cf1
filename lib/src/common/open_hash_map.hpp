#pragma once
// A small open-addressing hash map (linear probing, power-of-two capacity,
// load factor at most one half) for the kernels that key plain integer
// tuples: crossings by DEM edge, observations by neighbour-search cell,
// best-fit cells by row and column. It is
// only ever looked up and inserted into; nothing iterates it, so no result
// can depend on its layout.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace velkor {

// Finaliser of a 64-bit mixer (splitmix64): cheap, and good enough to spread
// neighbouring integer keys over the table.
inline std::uint64_t mix_bits(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

template <class Key, class Value, class Hash, class Equal = std::equal_to<Key>>
class OpenHashMap {
 public:
  explicit OpenHashMap(std::size_t expected = 16) { rehash(capacity_for(expected)); }

  std::size_t size() const { return size_; }

  Value* find(const Key& key) {
    std::size_t slot = Hash{}(key)&mask_;
    while (used_[slot]) {
      if (Equal{}(slots_[slot].first, key)) return &slots_[slot].second;
      slot = (slot + 1) & mask_;
    }
    return nullptr;
  }
  const Value* find(const Key& key) const { return const_cast<OpenHashMap*>(this)->find(key); }

  // Inserts (key, value) unless the key is present; returns the stored value
  // and whether it was inserted.
  std::pair<Value*, bool> try_emplace(const Key& key, const Value& value) {
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.size() * 2);
    std::size_t slot = Hash{}(key)&mask_;
    while (used_[slot]) {
      if (Equal{}(slots_[slot].first, key)) return {&slots_[slot].second, false};
      slot = (slot + 1) & mask_;
    }
    used_[slot] = 1;
    slots_[slot] = {key, value};
    ++size_;
    return {&slots_[slot].second, true};
  }

 private:
  static std::size_t capacity_for(std::size_t expected) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    return capacity;
  }

  void rehash(std::size_t capacity) {
    std::vector<std::pair<Key, Value>> old_slots(capacity);
    std::vector<std::uint8_t> old_used(capacity, 0);
    old_slots.swap(slots_);
    old_used.swap(used_);
    mask_ = capacity - 1;
    size_ = 0;
    for (std::size_t i = 0; i < old_slots.size(); ++i) {
      if (!old_used[i]) continue;
      std::size_t slot = Hash{}(old_slots[i].first) & mask_;
      while (used_[slot]) slot = (slot + 1) & mask_;
      used_[slot] = 1;
      slots_[slot] = std::move(old_slots[i]);
      ++size_;
    }
  }

  std::vector<std::pair<Key, Value>> slots_;
  std::vector<std::uint8_t> used_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velkor
