// SPDX-License-Identifier: MIT
#pragma once

// Channel ids of the automation backend as text: the integers of a channel's
// "IndexEx" array in decimal, joined by "," ("2,0"). Portable: no COM here,
// so the reader can be tested and fuzzed on every platform.

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

} // namespace ktremote
