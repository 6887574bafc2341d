#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ktremote {

// Splits a text into words the way reading words from a stream does: runs
// of white space (" \t\n\v\f\r") separate, and white space before the first
// and after the last word is ignored.
std::vector<std::string> splitWords(std::string_view text);

} // namespace ktremote
