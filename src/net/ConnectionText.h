// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ktremote {

// Splits a text into words the way reading words from a stream does: runs
// of white space (" \t\n\v\f\r") separate, and white space before the first
// and after the last word is ignored.
std::vector<std::string> splitWords(std::string_view text);

// The host that a host word names: an IPv6 address may be written in
// brackets ("[::1]"), which are taken off; any other word is the host.
std::string hostFromWord(std::string_view word);

// The TCP port that a port word names: decimal digits only, leading zeros
// allowed, with a value from 1 to 65535. Anything else (a sign, blanks,
// letters, 0, a larger value) gives no port.
std::optional<uint16_t> parseTcpPort(std::string_view word);

} // namespace ktremote
