#pragma once

#include <array>
#include <string_view>

namespace sorvel::detail {

// Room for any text formatDouble() produces.
using DoubleText = std::array<char, 48>;

// The one text form of a double, shared by Value::render() and the JSON writer
// so a logged value and its JSON agree: the shortest digits that read back as
// the same double, fixed notation for decimal exponents -4..15 with at least one
// fractional digit ("2.0", "0.1", "0.0001", "1234567890123456.0"), otherwise
// scientific with a signed exponent of at least two digits ("1e+16", "1e-05",
// "1e+300"). Non-finite values come out as "nan", "inf" and "-inf"; the JSON
// writer never asks for those.
std::string_view formatDouble(double d, DoubleText& buf) noexcept;

}  // namespace sorvel::detail
