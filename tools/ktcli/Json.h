// SPDX-License-Identifier: MIT
// The little JSON that ktcli writes: strings, numbers, booleans and null.
#pragma once

#include <string>

namespace ktcli {

// `text` (UTF-8) as a JSON string, quotes included.
std::string jsonString(const std::string& text);

// A finite number in its shortest exact form; null for NaN and infinities,
// which JSON cannot carry.
std::string jsonNumber(double value);

} // namespace ktcli
