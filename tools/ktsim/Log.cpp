// SPDX-License-Identifier: MIT
#include "Log.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace ktsim {

void Log::toFile(const std::string& path)
{
    file.open(path, std::ios::binary | std::ios::trunc);
    if (!file)
        throw std::runtime_error("cannot create log file " + path);
}

void Log::line(const std::string& text)
{
    if (!enabled())
        return;
    char stamp[32];
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::snprintf(stamp, sizeof stamp, "[%10.3f] ", seconds);
    if (echoToStderr)
        std::cerr << stamp << text << std::endl;
    if (file.is_open())
        file << stamp << text << std::endl;
}

std::string Log::printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c > 0x7e) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace ktsim
