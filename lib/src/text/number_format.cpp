#include "text/number_format.hpp"

#include <charconv>
#include <cmath>

namespace velkor::text {
namespace {

bool format_special(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out = value > 0 ? "inf" : "-inf";
    return true;
  }
  return false;
}

}  // namespace

std::string format_shortest(double value) {
  std::string out;
  if (format_special(value, out)) return out;
  // Fixed notation without a precision is the shortest round-trip form in
  // positional notation; the largest doubles need a little over 300 digits.
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

std::string format_fixed3(double value) {
  std::string out;
  if (format_special(value, out)) return out;
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
  return std::string(buffer, result.ptr);
}

std::string format_count(std::uint64_t value) { return std::to_string(value); }

}  // namespace velkor::text
