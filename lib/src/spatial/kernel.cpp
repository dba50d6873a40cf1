#include "spatial/kernel.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "common/internal_failure.hpp"
#include "text/number_format.hpp"

namespace velkor {

namespace {

// The reciprocal of the integral of each unscaled shape over D-dimensional
// space. The quartic ones are kept exactly as these bit patterns (they sit a
// few units in the last place from the nearest doubles of 15/16, 3/pi and
// 105/(32 pi)) so that densities reproduce bit for bit.
double normalising_constant(KernelKind kind, std::size_t dimension) {
  static const double quartic[3] = {
      std::bit_cast<double>(std::uint64_t{0x3FEDFFFFFFFFFFFE}),
      std::bit_cast<double>(std::uint64_t{0x3FEE8EC8A4AEACC5}),
      std::bit_cast<double>(std::uint64_t{0x3FF0B615BA0F867E}),
  };
  static const double gaussian[3] = {0.3989422804014327, 0.15915494309189535, 0.06349363593424097};
  return kind == KernelKind::quartic ? quartic[dimension - 1] : gaussian[dimension - 1];
}

// The name between double quotes, with backslash escapes for quotes,
// backslashes and control characters, so that an odd name shows exactly.
std::string quoted(std::string_view name) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    unsigned code = byte;
    std::size_t length = 1;
    // C1 controls arrive as two UTF-8 bytes, C2 80 to C2 9F.
    if (byte == 0xC2 && i + 1 < name.size()) {
      const auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        code = next;
        length = 2;
      }
    }
    switch (code) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (code < 0x20 || code == 0x7F || (length == 2)) {
          out += "\\u{";
          if (code >= 0x10) out += hex[code >> 4];
          out += hex[code & 0xF];
          out += '}';
        } else {
          out += name[i];
        }
    }
    i += length - 1;
  }
  out += '"';
  return out;
}

}  // namespace

CoreResult<DistanceKernel> make_kernel(std::span<const double> bandwidth, std::string_view name, double truncation,
                                       std::size_t dimension) {
  if (dimension < 1 || dimension > 3) fail_invariant("a kernel has 1 to 3 axes");
  if (bandwidth.size() != dimension) {
    return refuse("bandwidth has " + std::to_string(bandwidth.size()) + " entries for a " + std::to_string(dimension) +
                  "-dimensional field");
  }
  for (const double h : bandwidth) {
    if (!(h > 0.0) || !std::isfinite(h)) {
      return refuse(
          "bandwidth must be positive and finite on every axis: it is a width in map units, and a zero one is a "
          "kernel of no width and infinite height");
    }
  }
  DistanceKernel kernel;
  if (name == "quartic") {
    kernel.kind = KernelKind::quartic;
  } else if (name == "gaussian") {
    kernel.kind = KernelKind::gaussian;
  } else if (name == "truncated_gaussian") {
    kernel.kind = KernelKind::truncated_gaussian;
  } else {
    return refuse("unknown kernel " + quoted(name) + ": expected 'quartic', 'gaussian' or 'truncated_gaussian'");
  }
  if (kernel.kind == KernelKind::truncated_gaussian && (!(truncation > 0.0) || !std::isfinite(truncation))) {
    return refuse("truncation must be a positive finite number of bandwidths, not " +
                  text::format_shortest(truncation));
  }
  kernel.truncation = truncation;
  kernel.dimension = dimension;
  double volume = bandwidth[0];
  kernel.bandwidth[0] = bandwidth[0];
  for (std::size_t k = 1; k < dimension; ++k) {
    volume = volume * bandwidth[k];
    kernel.bandwidth[k] = bandwidth[k];
  }
  kernel.norm = normalising_constant(kernel.kind, dimension) / volume;
  return kernel;
}

std::optional<std::array<double, 3>> kernel_reach(const DistanceKernel& kernel) {
  if (kernel.kind == KernelKind::gaussian) return std::nullopt;
  const double radius = kernel.kind == KernelKind::quartic ? 1.0 : kernel.truncation;
  std::array<double, 3> reach{};
  for (std::size_t k = 0; k < kernel.dimension; ++k) reach[k] = kernel.bandwidth[k] * radius;
  return reach;
}

double retained_mass(const DistanceKernel& kernel) {
  if (kernel.kind != KernelKind::truncated_gaussian) return 1.0;
  const double t = kernel.truncation;
  // From 40 bandwidths on, the mass beyond the cut (of order exp(-800)) is far
  // below the resolution of a double near 1, so 1.0 is the exact answer. The
  // fixed 4096-interval rule would instead drift with ever coarser steps, past
  // 1 and then to nonsense (6.49 at t = 1e5, NaN at t = 1e300 in 3-D).
  if (t >= 40.0) return 1.0;
  const std::size_t dimension = kernel.dimension;
  // The radial mass of the standard normal in D dimensions, up to a constant.
  const auto integrand = [dimension](double x) {
    const double gauss = std::exp((x * -0.5) * x);
    if (dimension == 1) return gauss;
    if (dimension == 2) return gauss * x;
    return (x * x) * gauss;
  };
  constexpr int intervals = 4096;
  const double step = t * 0.000244140625;  // t / 4096, exactly
  double sum = integrand(t) + integrand(0.0);
  for (int i = 1; i < intervals; ++i) {
    const double weight = (i % 2 == 1) ? 4.0 : 2.0;
    sum = sum + weight * integrand(static_cast<double>(i) * step);
  }
  double mass = (step * sum) / 3.0;
  if (dimension != 2) mass = mass * 0.7978845608028654;  // sqrt(2 / pi)
  return mass;
}

}  // namespace velkor
