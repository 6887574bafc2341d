// SPDX-License-Identifier: MIT
#include "NumberText.h"

#include <charconv>
#include <limits>
#include <system_error>

namespace ktremote {

namespace {

bool isCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Skips leading white space and takes an optional sign. Returns true for a
// minus sign.
bool takeSign(std::string_view& text)
{
    size_t k = 0;
    while (k < text.size() && isCSpace(text[k]))
        ++k;
    bool negative = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) {
        negative = text[k] == '-';
        ++k;
    }
    text.remove_prefix(k);
    return negative;
}

template <class T>
std::optional<T> parseFloating(std::string_view text)
{
    const bool negative = takeSign(text);
    // std::from_chars takes no sign of its own here (it was consumed above;
    // a second sign is not a number) and no "0x" prefix.
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return std::nullopt;
    auto format = std::chars_format::general;
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        (isHexDigit(text[2]) || (text[2] == '.' && text.size() >= 4 && isHexDigit(text[3])))) {
        text.remove_prefix(2);
        format = std::chars_format::hex;
        // std::from_chars takes an exponent with two signs ("p+-5"), which
        // is none: the number then ends before the "p".
        const size_t p = text.find_first_of("pP");
        if (p != std::string_view::npos) {
            size_t digit = p + 1;
            if (digit < text.size() && (text[digit] == '+' || text[digit] == '-'))
                ++digit;
            if (digit >= text.size() || text[digit] < '0' || text[digit] > '9')
                text = text.substr(0, p);
        }
    }
    T value{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value, format);
    if (result.ec != std::errc())
        return std::nullopt;
    return negative ? -value : value;
}

} // namespace

std::optional<int32_t> parseInt32(std::string_view text, size_t* used)
{
    const size_t length = text.size();
    const bool negative = takeSign(text);
    // Accumulate the magnitude; stop counting once it is out of range but
    // keep going over the digits, as strtol does.
    const int64_t limit =
        negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min()) : std::numeric_limits<int32_t>::max();
    int64_t magnitude = 0;
    size_t digits = 0;
    bool overflow = false;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        if (!overflow) {
            magnitude = magnitude * 10 + (text[digits] - '0');
            overflow = magnitude > limit;
        }
    }
    if (digits == 0 || overflow)
        return std::nullopt;
    if (used)
        *used = length - text.size() + digits;
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

std::optional<float> parseFloat(std::string_view text) { return parseFloating<float>(text); }
std::optional<double> parseDouble(std::string_view text) { return parseFloating<double>(text); }

std::string formatShortest(double value)
{
    // Without a format, std::to_chars writes the shortest text that reads
    // back exactly, choosing plain or exponent form by length.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

} // namespace ktremote
