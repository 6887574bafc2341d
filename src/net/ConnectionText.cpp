// SPDX-License-Identifier: MIT
#include "ConnectionText.h"

namespace ktremote {

std::vector<std::string> splitWords(std::string_view text)
{
    constexpr std::string_view space = " \t\n\v\f\r";
    std::vector<std::string> words;
    size_t start = text.find_first_not_of(space);
    while (start != std::string_view::npos) {
        const size_t end = text.find_first_of(space, start);
        words.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        start = text.find_first_not_of(space, end);
    }
    return words;
}

std::string hostFromWord(std::string_view word)
{
    if (word.size() > 2 && word.front() == '[' && word.back() == ']')
        word = word.substr(1, word.size() - 2);
    return std::string(word);
}

std::optional<uint16_t> parseTcpPort(std::string_view word)
{
    if (word.empty())
        return std::nullopt;
    uint32_t value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        // Checked at every digit, so that no length of digits can overflow.
        if (value > 65535)
            return std::nullopt;
    }
    if (value == 0)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

} // namespace ktremote
