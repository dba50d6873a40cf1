#pragma once
// Distance kernels: how much an observation counts at a node, by its offset
// measured in bandwidths along each axis.
//
// Bandwidths are in map units, one per axis, so refining a grid never changes
// what a field means. Each kernel integrates to one over D-dimensional space
// (a density is observations per unit length, area or volume); the mass a
// truncation cuts off is reported by retained_mass and never renormalised.
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "common/core_error.hpp"

namespace velkor {

enum class KernelKind { quartic, gaussian, truncated_gaussian };

struct DistanceKernel {
  KernelKind kind = KernelKind::quartic;
  double truncation = 4.0;            // in bandwidths; only meaningful for truncated_gaussian
  std::size_t dimension = 1;          // 1, 2 or 3
  std::array<double, 3> bandwidth{};  // entries past `dimension` are unused
  double norm = 0.0;                  // c_D / (h_0 * ... * h_(D-1)): the peak value
};

// A kernel for a field of `dimension` axes (1 to 3, already checked). Refused,
// in this order: a bandwidth without one entry per axis, a bandwidth that is
// not positive and finite, an unknown name, and, for the truncated Gaussian
// only, a truncation that is not positive and finite.
CoreResult<DistanceKernel> make_kernel(std::span<const double> bandwidth, std::string_view name, double truncation,
                                       std::size_t dimension);

// How far the kernel reaches along each axis (also the cell size of the
// neighbour search); nothing for the plain Gaussian, which never stops.
std::optional<std::array<double, 3>> kernel_reach(const DistanceKernel& kernel);

// The fraction of the kernel's mass inside its support: 1 except for the
// truncated Gaussian, where a fixed 4096-interval Simpson rule measures it.
double retained_mass(const DistanceKernel& kernel);

// The weight of an observation at x seen from a node at p (D doubles each),
// with the dimension and the shape fixed at compile time: >= 0, or NaN when a
// coordinate is NaN. Callers keep only weights > 0.
template <std::size_t D, KernelKind Kind>
inline double kernel_weight(const DistanceKernel& kernel, const double* x, const double* p) {
  const double u0 = (x[0] - p[0]) / kernel.bandwidth[0];
  double sum = u0 * u0;
  if constexpr (D > 1) {
    const double u1 = (x[1] - p[1]) / kernel.bandwidth[1];
    sum = sum + u1 * u1;
  }
  if constexpr (D > 2) {
    const double u2 = (x[2] - p[2]) / kernel.bandwidth[2];
    sum = sum + u2 * u2;
  }
  const double r = std::sqrt(sum);
  if constexpr (Kind == KernelKind::quartic) {
    if (r > 1.0) return 0.0;
    // r is squared again from the root, not taken from the sum.
    const double inside = 1.0 - r * r;
    return (inside * inside) * kernel.norm;
  } else if constexpr (Kind == KernelKind::truncated_gaussian) {
    if (r > kernel.truncation) return 0.0;
    return std::exp((r * -0.5) * r) * kernel.norm;
  } else {
    return std::exp((r * -0.5) * r) * kernel.norm;
  }
}

// Calls visit(std::integral_constant<std::size_t, D>, std::integral_constant<KernelKind, K>)
// with the kernel's dimension and kind, so that a loop can be instantiated once
// per combination.
template <class Visit>
decltype(auto) dispatch_kernel(const DistanceKernel& kernel, Visit&& visit) {
  const auto by_kind = [&]<std::size_t D>(std::integral_constant<std::size_t, D> dimension) -> decltype(auto) {
    switch (kernel.kind) {
      case KernelKind::quartic:
        return visit(dimension, std::integral_constant<KernelKind, KernelKind::quartic>{});
      case KernelKind::gaussian:
        return visit(dimension, std::integral_constant<KernelKind, KernelKind::gaussian>{});
      case KernelKind::truncated_gaussian:
        break;
    }
    return visit(dimension, std::integral_constant<KernelKind, KernelKind::truncated_gaussian>{});
  };
  switch (kernel.dimension) {
    case 1:
      return by_kind(std::integral_constant<std::size_t, 1>{});
    case 2:
      return by_kind(std::integral_constant<std::size_t, 2>{});
    default:
      return by_kind(std::integral_constant<std::size_t, 3>{});
  }
}

}  // namespace velkor
