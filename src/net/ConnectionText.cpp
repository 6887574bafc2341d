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

} // namespace ktremote
