// SPDX-License-Identifier: MIT
// Cuts a byte stream into command lines. A line ends with "\n"; a "\r"
// before it is dropped, so both "\r\n" (hosts) and "\n" (people typing) work,
// whatever the size of the pieces the bytes arrive in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ktsim {

class LineFramer {
public:
    static constexpr std::size_t maxLine = 1 << 16;

    // Adds received bytes.
    void feed(const char* data, std::size_t size) { pending.append(data, size); }

    // The next complete line, if any. A line longer than maxLine is cut
    // there and returned with `overlong` set.
    std::optional<std::string> next(bool* overlong = nullptr);

private:
    std::string pending;
    std::size_t scanned = 0;
    bool discarding = false;
};

} // namespace ktsim
