#include "text/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

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
  // The shortest digits come from scientific notation ("-d.ddde+XX"); the
  // point is placed here. Fixed notation would not do for large values: among
  // equally short forms it prints the exact binary value of a large whole
  // number (1e23 as 99999999999999991611392) rather than the shortest digits.
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
  // The value is 0.d1d2d3... times 10^(exponent + 1).
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (std::signbit(value)) out += '-';
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
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
