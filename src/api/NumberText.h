// SPDX-License-Identifier: MIT
#pragma once

// Conversions between numbers and their texts, for both backends: the
// fields and replies of the command protocol, and the channel ids of the
// automation backend. Portable: nothing here depends on the platform.
//
// The readers follow the rules of the C library's strtol (base 10), strtof
// and strtod, but always with '.' as the decimal point, whatever locale the
// host process has set: leading white space (" \t\n\v\f\r") is skipped, an
// optional sign is taken, and the number ends at the first character that
// cannot belong to it; whatever follows is ignored. A text without digits,
// or a value outside the range of the result type, gives no value.
//
// Floating-point texts may be decimal ("1.5", ".5", "5.", "2e3"),
// hexadecimal ("0x1.8p1"), "inf", "infinity", "nan" or "nan(...)", letters
// in any case. Out of range means an overflow, or an underflow so deep that
// nothing but zero is left; values that only lose precision (subnormals)
// are taken.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ktremote {

// `used`, when not null, receives how many characters the number took, the
// white space and sign before it included; it is left alone when the text
// gives no value.
std::optional<int32_t> parseInt32(std::string_view text, size_t* used = nullptr);
std::optional<float> parseFloat(std::string_view text);
std::optional<double> parseDouble(std::string_view text);

// The shortest decimal text that reads back as exactly the same double, in
// plain or exponent form, whichever is shorter: 1.0 gives "1", 0.5 gives
// "0.5", 1e20 gives "1e+20". The decimal point is always '.'.
std::string formatShortest(double value);

} // namespace ktremote
