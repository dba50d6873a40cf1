#include "spatial/coincidence_merge.hpp"

#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/saturating.hpp"
#include "parallel/stop_check.hpp"

namespace velkor {
namespace {

struct Key3 {
  std::int64_t x, y, z;
  bool operator==(const Key3&) const = default;
};
// One multiply per coordinate and a final mix: cheap, and spreads
// neighbouring integer keys over the whole table (a sum of multiples alone
// would line a regular lattice up in runs of slots).
std::uint64_t hash_of(const Key3& k) {
  std::uint64_t h = static_cast<std::uint64_t>(k.x) * 0x9E3779B97F4A7C15ULL ^
                    static_cast<std::uint64_t>(k.y) * 0xC2B2AE3D27D4EB4FULL ^
                    static_cast<std::uint64_t>(k.z) * 0x165667B19E3779F9ULL;
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ULL;
  h ^= h >> 32;
  return h;
}

// |a - b| <= 1 without overflow.
bool adjacent(std::int64_t a, std::int64_t b) {
  return a >= b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b) <= 1
                : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a) <= 1;
}

// Kept points are filed by block of 8 x 8 x 8 voxels. The 27 voxels around
// a point's voxel lie in its own block and, on each axis where the voxel
// lies on a face of the block, in the block across that face.
constexpr int kBlockShift = 3;
constexpr std::int64_t kBlockLast = (std::int64_t{1} << kBlockShift) - 1;

__attribute__((always_inline)) inline Key3 voxel_of(const Vec3& p, double distance) {
  return Key3{saturating_floor_i64(p.e / distance), saturating_floor_i64(p.n / distance),
              saturating_floor_i64(p.u / distance)};
}

Key3 block_of(const Key3& voxel) {
  return Key3{voxel.x >> kBlockShift, voxel.y >> kBlockShift, voxel.z >> kBlockShift};
}

// -1 or +1 towards the block across the face the voxel lies on, else 0.
// Blocks lie within 2^60 of zero, so a step never overflows; past the ends
// of the voxel range it names a block that holds no point.
std::int64_t face_step(std::int64_t voxel) {
  const std::int64_t local = voxel & kBlockLast;
  return static_cast<std::int64_t>(local == kBlockLast) - static_cast<std::int64_t>(local == 0);
}

// The blocks to search for a point, its own first, and their hashes. With
// at most one face crossed (five scattered points in six), the list is the
// own block and the one across, or the own block twice, so that the common
// case takes no branch on which of the two it is.
struct Neighbourhood {
  Key3 voxel;
  int block_count;  // 2, 4 or 8
  std::array<Key3, 8> blocks;
  std::array<std::uint64_t, 8> hashes;
};

__attribute__((always_inline)) inline void neighbourhood_of(const Vec3& p, double distance, Neighbourhood& h) {
  h.voxel = voxel_of(p, distance);
  const Key3 own = block_of(h.voxel);
  const Key3 step{face_step(h.voxel.x), face_step(h.voxel.y), face_step(h.voxel.z)};
  const int crossed = (step.x != 0) + (step.y != 0) + (step.z != 0);
  h.blocks[0] = own;
  h.hashes[0] = hash_of(own);
  if (crossed <= 1) {
    h.blocks[1] = Key3{own.x + step.x, own.y + step.y, own.z + step.z};
    h.hashes[1] = hash_of(h.blocks[1]);
    h.block_count = 2;
    return;
  }
  const std::int64_t xs[2] = {own.x, own.x + step.x};
  const std::int64_t ys[2] = {own.y, own.y + step.y};
  const std::int64_t zs[2] = {own.z, own.z + step.z};
  int k = 0;
  for (int a = 0; a <= (step.x != 0); ++a) {
    for (int b = 0; b <= (step.y != 0); ++b) {
      for (int c = 0; c <= (step.z != 0); ++c) {
        h.blocks[k] = Key3{xs[a], ys[b], zs[c]};
        h.hashes[k] = hash_of(h.blocks[k]);
        ++k;
      }
    }
  }
  h.block_count = k;
}

// Greedy merge in input order: a point is dropped when a point already kept
// lies strictly closer than the merge distance in one of the 27 voxels
// around its own (voxel side = merge distance). Kept points are filed by
// block, and a point of the blocks searched counts only if it is that close
// and lies in one of the 27 voxels (tested in that order: the distance is
// the cheaper test and few points pass it), so exactly the points of the 27
// voxels are compared. Kept points are at least the merge distance apart, so
// a block's list stays bounded however many input points fall into it: a
// few dozen points on a surface sampled at the merge distance, a few hundred
// for points that fill space that densely.
//
// The block table is open addressing over buckets of eight slots, one cache
// line each. A slot holds a tag of the block's hash and the block's latest
// kept point (its list head); the block key is recomputed from that point
// when a tag matches. A lookup compares a bucket's eight tags at once and,
// with at least two slots per point, nearly always ends in its first bucket.
// The buckets of the points a few steps ahead are prefetched: points come in
// any spatial order, so for large inputs nearly every lookup would otherwise
// wait on memory. This is why the table is not the library's OpenHashMap:
// that one keeps each key beside its value (a block key alone is 24 bytes)
// and probes slot by slot, where here a 4-byte tag and a 4-byte list head
// are all a slot holds, eight of them share a cache line and are compared at
// once, and the table is sized once from the input, never rehashed.
template <class Index>
class CoincidenceMerge {
 public:
  CoincidenceMerge(std::span<const Vec3> points, double distance)
      : points_(points), distance_(distance), limit_(distance * distance) {
    // At most one block per point and at least two slots per point.
    std::size_t buckets = 2;
    while (buckets * kBucketSlots < 2 * points.size()) buckets *= 2;
    buckets_ = FreshArray<Bucket>::zeroed(buckets);  // all tags 0: every slot free
    mask_ = buckets - 1;
    next_ = FreshArray<Index>(points.size());  // written as each point is kept
  }

  DistinctPoints run() {
    DistinctPoints distinct;
    distinct.kept = FreshArray<std::uint8_t>(points_.size());
    constexpr std::size_t kAhead = 8;
    std::array<Neighbourhood, kAhead> ahead;
    const std::size_t n = points_.size();
    for (std::size_t i = 0; i < std::min(kAhead, n); ++i) {
      neighbourhood_of(points_[i], distance_, ahead[i]);
      prefetch(ahead[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      // Often: the first touches of the fresh tables can be slow.
      if ((i & 63) == 0) poll_stop();
      const Vec3& p = points_[i];
      Neighbourhood& h = ahead[i % kAhead];
      // A point with a coordinate that is not finite lies at no finite
      // distance from any point, so it is never dropped and never drops
      // another: it is kept without being filed. (Filed, all such points
      // would share a voxel and search each other's ever longer list.)
      bool dropped = false;
      if (std::isfinite(p.e) && std::isfinite(p.n) && std::isfinite(p.u)) [[likely]] {
        SlotRef own{};
        dropped = has_close_neighbour(p, h, own);
        if (!dropped) keep(static_cast<Index>(i), h, own);
      }
      distinct.kept[i] = !dropped;
      if (!dropped) {
        ++distinct.count;
        distinct.extent.add(p);
      }
      if (i + kAhead < n) {
        neighbourhood_of(points_[i + kAhead], distance_, h);
        prefetch(h);
      }
    }
    distinct.extent.finish();
    return distinct;
  }

 private:
  static constexpr Index kNoPoint = static_cast<Index>(-1);
  static constexpr int kBucketSlots = 8;
  // Eight slots: their tags (0 marks a free slot; slots fill in order and
  // are never freed) and the index of each block's latest kept point.
  struct alignas(64) Bucket {
    std::uint32_t tags[kBucketSlots] = {};
    Index heads[kBucketSlots] = {};
  };
  struct SlotRef {
    Bucket* bucket;
    int slot;
    bool found;
  };

  static std::uint32_t tag_of(std::uint64_t hash) {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    return tag == 0 ? 1 : tag;
  }

  __attribute__((always_inline)) void prefetch(const Neighbourhood& h) const {
    __builtin_prefetch(&buckets_[h.hashes[0] & mask_]);
    __builtin_prefetch(&buckets_[h.hashes[1] & mask_]);
    for (int k = 2; k < h.block_count; ++k) __builtin_prefetch(&buckets_[h.hashes[k] & mask_]);
  }

  // Bit i set where tags[i] == tag.
  static unsigned matching(const Bucket& b, std::uint32_t tag) {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(tag));
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(b.tags));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(b.tags + 4));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, wanted)))) |
           static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(high, wanted)))) << 4;
#else
    unsigned bits = 0;
    for (int i = 0; i < kBucketSlots; ++i) bits |= static_cast<unsigned>(b.tags[i] == tag) << i;
    return bits;
#endif
  }

  // The slot of the block, or the free slot where it would go.
  SlotRef find(const Key3& block, std::uint64_t hash) {
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t index = hash & mask_;; index = (index + 1) & mask_) {
      Bucket& b = buckets_[index];
      for (unsigned m = matching(b, tag); m != 0; m &= m - 1) {
        const int slot = __builtin_ctz(m);
        if (block_of(voxel_of(points_[b.heads[slot]], distance_)) == block) return {&b, slot, true};
      }
      const unsigned free = matching(b, 0);
      if (free != 0) return {&b, __builtin_ctz(free), false};
    }
  }

  // Whether a kept point lies strictly closer than the merge distance in
  // one of the 27 voxels; `own` receives the slot of the point's own block.
  bool has_close_neighbour(const Vec3& p, const Neighbourhood& h, SlotRef& own) {
    own = find(h.blocks[0], h.hashes[0]);
    if (own.found && close_in_list(p, h, own)) return true;
    // The second block is the own one again when no face is crossed; its
    // list has been searched then.
    const SlotRef second = find(h.blocks[1], h.hashes[1]);
    if (second.found) {
      const bool own_again = second.bucket == own.bucket && second.slot == own.slot;
      if (!own_again && close_in_list(p, h, second)) return true;
    }
    for (int k = 2; k < h.block_count; ++k) {
      const SlotRef ref = find(h.blocks[k], h.hashes[k]);
      if (ref.found && close_in_list(p, h, ref)) return true;
    }
    return false;
  }

  bool close_in_list(const Vec3& p, const Neighbourhood& h, const SlotRef& ref) const {
    for (Index j = ref.bucket->heads[ref.slot]; j != kNoPoint; j = next_[j]) {
      const Vec3& other = points_[j];
      const double dx = p.e - other.e;
      const double dy = p.n - other.n;
      const double dz = p.u - other.u;
      if (!(limit_ > dx * dx + dy * dy + dz * dz)) continue;
      // Close enough; it counts only if it lies in one of the 27 voxels.
      const Key3 voxel = voxel_of(other, distance_);
      if (adjacent(voxel.x, h.voxel.x) && adjacent(voxel.y, h.voxel.y) && adjacent(voxel.z, h.voxel.z)) return true;
    }
    return false;
  }

  // Files the point under its own block, at the slot the search found for
  // it (nothing has been inserted since).
  void keep(Index index, const Neighbourhood& h, const SlotRef& ref) {
    if (ref.found) {
      next_[index] = ref.bucket->heads[ref.slot];
    } else {
      next_[index] = kNoPoint;
      ref.bucket->tags[ref.slot] = tag_of(h.hashes[0]);
    }
    ref.bucket->heads[ref.slot] = index;
  }

  std::span<const Vec3> points_;
  double distance_;
  double limit_;
  FreshArray<Bucket> buckets_;
  std::size_t mask_ = 0;
  FreshArray<Index> next_;  // per kept point: the previous kept point of its block, or none
};

}  // namespace

DistinctPoints merge_coincident(std::span<const Vec3> points, double distance) {
  // 32-bit indices halve the table for every input that fits in memory
  // here; the 64-bit form keeps larger inputs correct.
  if (points.size() < 0xFFFFFFFFu) return CoincidenceMerge<std::uint32_t>(points, distance).run();
  return CoincidenceMerge<std::uint64_t>(points, distance).run();
}

}  // namespace velkor
