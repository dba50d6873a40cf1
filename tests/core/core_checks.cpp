// Prints core-library results the Python tests compare against: number
// formatting, every CoreError message, and the orientation geometry edge
// cases. One line per check: "<label>|<value>".
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/core_error.hpp"
#include "common/saturating.hpp"
#include "common/wide_count.hpp"
#include "geometry/geol_axis.hpp"
#include "geometry/geol_plane.hpp"
#include "text/number_format.hpp"

using namespace velkor;

namespace {

void line(const std::string& label, const std::string& value) { std::printf("%s|%s\n", label.c_str(), value.c_str()); }

std::string show(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", v);
  return buffer;
}

std::string show(Vec3 v) { return show(v.e) + "," + show(v.n) + "," + show(v.u); }

// The saturating floors against std::floor with the saturation written out,
// on edge values and on doubles drawn from random bit patterns (every
// magnitude and sign). "ok", or the first value that disagrees.
std::string check_floors() {
  const auto reference_i64 = [](double v) -> std::int64_t {
    if (std::isnan(v)) return 0;
    const double f = std::floor(v);
    if (f >= 0x1p63) return INT64_MAX;
    if (f < -0x1p63) return INT64_MIN;
    return static_cast<std::int64_t>(f);
  };
  const auto reference_u64 = [](double v) -> std::uint64_t {
    if (!(v > 0.0)) return 0;
    const double f = std::floor(v);
    return f >= 0x1p64 ? UINT64_MAX : static_cast<std::uint64_t>(f);
  };
  std::vector<double> values{0.0,
                             -0.0,
                             0.5,
                             -0.5,
                             1.0,
                             -1.0,
                             1.5,
                             -1.5,
                             0x1p52 + 1,
                             -0x1p52 - 1,
                             0x1p53,
                             -0x1p53 - 2,
                             0x1p63,
                             -0x1p63,
                             0x1p63 - 1024,
                             -0x1p63 + 1024,
                             0x1p64,
                             0x1p64 - 2048,
                             1e300,
                             -1e300,
                             4.9406564584124654e-324,
                             -4.9406564584124654e-324,
                             std::nextafter(1.0, 0.0),
                             std::nextafter(-1.0, 0.0),
                             std::nextafter(-1.0, -2.0),
                             std::nextafter(-0x1p63, -INFINITY),
                             INFINITY,
                             -INFINITY,
                             NAN};
  std::uint64_t state = 0x853C49E6748FEA9BULL;
  for (int k = 0; k < 200000; ++k) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::uint64_t bits = state ^ (state >> 29);
    // Keep most draws to exponents near the integer range, where the edges are.
    if (k % 2 == 0) bits = (bits & 0x800FFFFFFFFFFFFFULL) | ((1023ULL + (bits >> 52) % 70) << 52);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    values.push_back(v);
  }
  for (const double v : values) {
    if (saturating_floor_i64(v) != reference_i64(v) || saturating_floor_u64(v) != reference_u64(v)) return show(v);
  }
  return "ok";
}

}  // namespace

int main() {
  line("floors", check_floors());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double v : {1.0, 0.5, 1e-7, -0.0, 0.0, nan, inf, -inf, 2.5, 0.1 + 0.2, 1e21, -123.456, 5e-324, 1e23, -2.5e22,
                   0x1p53 + 2, std::numeric_limits<double>::max(), 123456.789}) {
    line("shortest " + show(v), text::format_shortest(v));
  }
  // Doubles of every magnitude from random bit patterns, as hex beside their text.
  std::uint64_t state = 0x2545F4914F6CDD1DULL;
  for (int k = 0; k < 3000; ++k) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::uint64_t bits = state ^ (state >> 31);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    char hex[64];
    std::snprintf(hex, sizeof hex, "%a", v);
    line("random shortest " + std::to_string(k), std::string(hex) + " " + text::format_shortest(v));
  }
  for (double v : {85.0, 91.5, 1.0, 0.0005, 0.0015, 2.0 / 3.0, -0.0004, nan, inf}) {
    line("fixed3 " + show(v), text::format_fixed3(v));
  }

  line("AxesNotSubOrthogonal", message(AxesNotSubOrthogonal{85.0}));
  line("PhiOutOfRange", message(PhiOutOfRange{1.5}));
  line("PhiOutOfRangeNaN", message(PhiOutOfRange{nan}));
  line("SigmaOrder", message(SigmaOrder{1.0, 2.5}));
  line("AxesNotOrthogonal", message(AxesNotOrthogonal{5.0}));
  line("ZeroAxis", message(ZeroAxis{}));
  line("MissingSlickenline", message(MissingSlickenline{3}));
  line("UndeterminedSense", message(UndeterminedSense{}));
  line("DegenerateQuaternion", message(DegenerateQuaternion{}));
  line("SlickenlineOffPlane", message(SlickenlineOffPlane{0, 12.25}));
  line("VertexOutOfRange", message(VertexOutOfRange{7, 5}));
  line("ZeroVector", message(ZeroVector{}));
  line("Refusal", message(Refusal{"no points to cover"}));
  line("Refusal in context", message(refuse_with_context("fault 3: ", SlickenlineOffPlane{0, 12.25}).error()));

  // Products of random 128-bit factors (with zero, one and the largest among
  // them), as the hexadecimal limbs of WideCount, most significant first.
  std::uint64_t draw = 0x9E3779B97F4A7C15ULL;
  const auto next = [&draw] {
    draw = draw * 6364136223846793005ULL + 1442695040888963407ULL;
    return draw ^ (draw >> 31);
  };
  const unsigned __int128 largest = ~static_cast<unsigned __int128>(0);
  for (int k = 0; k < 300; ++k) {
    std::string factors;
    WideCount product(1);
    for (int f = 0; f < 3; ++f) {
      unsigned __int128 factor = (static_cast<unsigned __int128>(next()) << 64) | next();
      if (k % 5 == 1) factor >>= next() % 128;  // every width
      if (k == 2 && f == 1) factor = 0;
      if (k == 3) factor = largest;
      if (k == 4 && f == 0) factor = 1;
      char hex[40];
      std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(factor >> 64),
                    static_cast<unsigned long long>(factor));
      factors += std::string(f > 0 ? " " : "") + hex;
      if (f == 2 && k % 2 == 0) {
        product *= static_cast<std::uint64_t>(factor);  // the narrow multiplication, on the low half
        factors.resize(factors.size() - 32);
        std::snprintf(hex, sizeof hex, "%032llx", static_cast<unsigned long long>(factor));
        factors += hex;
      } else {
        product *= factor;
      }
    }
    std::string limbs;
    for (auto limb = product.limbs().rbegin(); limb != product.limbs().rend(); ++limb) {
      char hex[24];
      std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(*limb));
      limbs += hex;
    }
    line("wide " + std::to_string(k), factors + " " + limbs);
  }

  line("axis 0 0", show(axis_from_trend_plunge(0, 0)));
  line("axis 90 0", show(axis_from_trend_plunge(90, 0)));
  line("axis 0 90", show(axis_from_trend_plunge(0, 90)));
  const TrendPlunge back360 = trend_plunge_of(axis_from_trend_plunge(360, 0));
  line("back 360", show(back360.trend) + "," + show(back360.plunge));
  const TrendPlunge up45 = trend_plunge_of(*normalized(Vec3{0, 1, 1}));
  line("back 0,1,1", show(up45.trend) + "," + show(up45.plunge));
  const TrendPlunge up = trend_plunge_of(Vec3{0, 0, 1});
  line("back up", show(up.trend) + "," + show(up.plunge));
  const TrendPlunge beyond = trend_plunge_of(Vec3{0, 0, 1 + 2.3e-16});
  line("back beyond", show(beyond.plunge));
  line("lower 1e-13", show(to_lower_hemisphere(Vec3{1, 0, 1e-13})));
  line("lower 1e-11", show(to_lower_hemisphere(Vec3{1, 0, 1e-11})));
  const Vec3 a = axis_from_trend_plunge(30, 20);
  line("directions opposite", show(angle_between_directions(a, -a)));
  line("lines opposite", show(angle_between_lines(a, -a)));
  line("wrap -30", show(wrap_azimuth(-30)));
  line("wrap 390", show(wrap_azimuth(390)));

  const GeolPlane plane{120, 40};
  const Vec3 strike = strike_vector(plane);
  const Vec3 down = down_dip_vector(plane);
  line("rake along strike", show(rake_of_direction(strike, strike, down)));
  line("rake against strike", show(rake_of_direction(-strike, strike, down)));
  line("rake down dip", show(rake_of_direction(down, strike, down)));
  line("rake up dip", show(rake_of_direction(-down, strike, down)));
  const GeolPlane attitude = attitude_of_normal(-upward_normal(plane));
  line("attitude", show(attitude.dip_direction) + "," + show(attitude.dip));
  line("normalized none", normalized_upward_normal(GeolPlane{nan, 10}) ? "value" : "none");
  return 0;
}
