#pragma once
// How numbers read inside messages: the shortest decimal that reads back as
// the same double, always positional ("0.0000001", never "1e-07"), whole
// values without a decimal point, and "NaN" / "inf" / "-inf".
#include <cstdint>
#include <string>

namespace velkor::text {

std::string format_shortest(double value);

// Exactly three digits after the point, correctly rounded ("85.000").
std::string format_fixed3(double value);

std::string format_count(std::uint64_t value);

}  // namespace velkor::text
