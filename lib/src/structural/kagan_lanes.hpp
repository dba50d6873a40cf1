#pragma once
// The Kagan angle of several pairs at once, for the matrix and the pairwise
// function: the first stage (which of the four rotations turns least, and its
// normalised scalar part) lane by lane, the inverse cosines then in a plain
// loop, and the turns folded lane by lane. Each lane's operations are exactly
// those of kagan_angle_given_inverse on its short route; pairs that need the
// full route are flagged and computed by it.
#include <cstddef>

#include "common/lanes.hpp"
#include "geometry/geol_axis.hpp"
#include "structural/focal_mechanism.hpp"

namespace velkor::kagan_lanes {

template <std::size_t Lanes>
struct TurnStage {
  typename lanes::Pack<Lanes>::Value unit_w;      // clamped to [-1, 1]
  typename lanes::Pack<Lanes>::Value full_route;  // 1.0 where the pair needs kagan_angle_given_inverse
};

// For the pairs (c, q) with c the inverse of the first quaternion and q the
// second: the rotation of largest scalar part as kagan_angle_given_inverse
// picks it, with exactly its operations, then its normalised scalar part,
// clamped, and a flag for the pairs that need the full route (several
// candidates, a turn that may have no axis, tiny or non-finite values, or a
// quaternion flagged degenerate).
template <std::size_t Lanes>
[[gnu::always_inline]] inline TurnStage<Lanes> turn_stage(
    const typename lanes::Pack<Lanes>::Value& w, const typename lanes::Pack<Lanes>::Value& x,
    const typename lanes::Pack<Lanes>::Value& y, const typename lanes::Pack<Lanes>::Value& z,
    const typename lanes::Pack<Lanes>::Value& cw, const typename lanes::Pack<Lanes>::Value& cx,
    const typename lanes::Pack<Lanes>::Value& cy, const typename lanes::Pack<Lanes>::Value& cz,
    const typename lanes::Pack<Lanes>::Value& degenerate) {
  using P = lanes::Pack<Lanes>;
  using V = typename P::Value;
  using M = typename P::Mask;
  const V zero = P::broadcast(0.0), one = P::broadcast(1.0), small = P::broadcast(1e-5);
  const V margin = P::broadcast(1e-9), near_one = P::broadcast(0.9999), minus_one = P::broadcast(-1.0);
  // Scalar parts of (q (x) s_k) (x) c for the four symmetries s_k.
  const V s0 = (-x) * cw - w * cx - z * cy - (-y) * cz;
  const V s1 = (-y) * cw - (-z) * cx - w * cy - x * cz;
  const V s2 = (-z) * cw - y * cx - (-x) * cy - w * cz;
  const V s3 = w * cw - x * cx - y * cy - z * cz;
  const V a0 = P::absolute(s0), a1 = P::absolute(s1), a2 = P::absolute(s2), a3 = P::absolute(s3);
  const V largest = P::larger(P::larger(P::larger(zero, a0), a1), P::larger(a2, a3));
  const V threshold = largest - largest * margin;
  const M m0 = a0 >= threshold, m1 = a1 >= threshold, m2 = a2 >= threshold, m3 = a3 >= threshold;
  const V candidates =
      P::select(m0, one, zero) + P::select(m1, one, zero) + P::select(m2, one, zero) + P::select(m3, one, zero);
  const V sum = a0 + a1 + a2 + a3;
  const M finite = (sum - sum) == zero;
  // The chosen q (x) s_k, a signed permutation of q.
  const V pw = P::select(m0, -x, P::select(m1, -y, P::select(m2, -z, w)));
  const V px = P::select(m0, w, P::select(m1, -z, P::select(m2, y, x)));
  const V py = P::select(m0, z, P::select(m1, w, P::select(m2, -x, y)));
  const V pz = P::select(m0, -y, P::select(m1, x, P::select(m2, w, z)));
  const V rw = pw * cw - px * cx - py * cy - pz * cz;
  const V rx = pw * cx + px * cw + py * cz - pz * cy;
  const V ry = pw * cy - px * cz + py * cw + pz * cx;
  const V rz = pw * cz + px * cy - py * cx + pz * cw;
  const V unit = rw / P::sqrt(rw * rw + rx * rx + ry * ry + rz * rz);
  const M short_route =
      finite & (largest > small) & (candidates == one) & (P::absolute(unit) <= near_one) & (degenerate == zero);
  return {P::larger(minus_one, P::select(unit > one, one, unit)), P::select(short_route, zero, one)};
}

// Inverse cosines of scalar parts into reported turns, in place: twice the
// angle in degrees, folded into [0, 180] (whole packs of two; the buffer has
// room for the last one).
inline void fold_turns(double* values, std::size_t count) {
  using P = lanes::Pack<2>;
  const P::Value two = P::broadcast(2.0), degrees = P::broadcast(kRadiansToDegrees);
  const P::Value half_circle = P::broadcast(180.0), circle = P::broadcast(360.0);
  for (std::size_t k = 0; k < count; k += 2) {
    const P::Value angle = two * P::load(values + k) * degrees;
    P::store(values + k, P::select(angle > half_circle, circle - angle, angle));
  }
}

}  // namespace velkor::kagan_lanes
