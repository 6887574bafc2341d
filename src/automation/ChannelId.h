#pragma once

// Channel ids of the automation backend: the text form of a channel's
// "IndexEx" array, its integers in decimal joined by "," ("2,0").

#include "Variant.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ktremote {

std::string formatChannelId(const std::vector<int32_t>& indices);

// Reads integers one after another, each after optional white space; after
// each integer one "," or one blank is skipped. Reading stops where no
// integer can be read, so "3, 0" gives 3 and 0, "3,,0" gives 3 alone and a
// text without a leading integer gives nothing.
std::vector<int32_t> parseChannelId(const std::string& text);

// The integers of an "IndexEx" answer (an array of 32-bit integers); none
// when the answer holds no such array. Raises KX_ERR_AUTOMATION_CALL when
// the answer cannot be copied.
std::vector<int32_t> indicesOf(const Variant& indexEx);

} // namespace ktremote
