#pragma once
// Counts that stay exact however large: the candidate count of tiny search
// steps needs up to 260 bits, and the forward solutions of a field multiply
// it by a 128-bit sum. Eight 64-bit limbs hold every such product; a product
// beyond them is a broken invariant, never a rounded or wrapped count.
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/internal_failure.hpp"

namespace velkor {

class WideCount {
 public:
  static constexpr std::size_t kLimbs = 8;

  explicit WideCount(unsigned __int128 value = 0)
      : limbs_{static_cast<std::uint64_t>(value), static_cast<std::uint64_t>(value >> 64)} {}

  // The limbs, least significant first.
  const std::array<std::uint64_t, kLimbs>& limbs() const { return limbs_; }

  WideCount& operator*=(std::uint64_t factor) {
    unsigned __int128 carry = 0;
    for (std::uint64_t& limb : limbs_) {
      const unsigned __int128 product = static_cast<unsigned __int128>(limb) * factor + carry;
      limb = static_cast<std::uint64_t>(product);
      carry = product >> 64;
    }
    if (carry != 0) fail_invariant("a count exceeds the width of WideCount");
    return *this;
  }

  // x * (high 2^64 + low) = x * low + (x * high) 2^64.
  WideCount& operator*=(unsigned __int128 factor) {
    WideCount high_part = *this;
    high_part *= static_cast<std::uint64_t>(factor >> 64);
    *this *= static_cast<std::uint64_t>(factor);
    if (high_part.limbs_[kLimbs - 1] != 0) fail_invariant("a count exceeds the width of WideCount");
    std::uint64_t carry = 0;
    for (std::size_t k = 1; k < kLimbs; ++k) {
      const unsigned __int128 sum = static_cast<unsigned __int128>(limbs_[k]) + high_part.limbs_[k - 1] + carry;
      limbs_[k] = static_cast<std::uint64_t>(sum);
      carry = static_cast<std::uint64_t>(sum >> 64);
    }
    if (carry != 0) fail_invariant("a count exceeds the width of WideCount");
    return *this;
  }

  bool operator==(const WideCount&) const = default;

 private:
  std::array<std::uint64_t, kLimbs> limbs_{};
};

}  // namespace velkor
