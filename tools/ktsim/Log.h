// SPDX-License-Identifier: MIT
// The log of received lines and events (-v: stderr, --log: a file).
#pragma once

#include <chrono>
#include <fstream>
#include <string>

namespace ktsim {

class Log {
public:
    void toStderr(bool on) { echoToStderr = on; }
    // Throws std::runtime_error when the file cannot be created.
    void toFile(const std::string& path);
    bool enabled() const { return echoToStderr || file.is_open(); }

    // Writes one line, prefixed with the seconds since ktsim started.
    void line(const std::string& text);

    // Control characters and bytes above 0x7E as escapes, so that a logged
    // line shows exactly what was received.
    static std::string printable(const std::string& text);

private:
    bool echoToStderr = false;
    std::ofstream file;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

} // namespace ktsim
