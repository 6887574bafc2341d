// SPDX-License-Identifier: MIT
#include "LineFramer.h"

namespace ktsim {

std::optional<std::string> LineFramer::next(bool* overlong)
{
    if (overlong)
        *overlong = false;
    for (;;) {
        std::size_t end = pending.find('\n', scanned);
        if (end == std::string::npos) {
            scanned = pending.size();
            if (pending.size() <= maxLine)
                return std::nullopt;
            // Report an overlong line once, then drop the rest of it.
            std::string head = pending.substr(0, maxLine);
            pending.clear();
            scanned = 0;
            bool report = !discarding;
            discarding = true;
            if (report) {
                if (overlong)
                    *overlong = true;
                return head;
            }
            return std::nullopt;
        }
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        scanned = 0;
        if (discarding) {
            discarding = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > maxLine) {
            if (overlong)
                *overlong = true;
            line.resize(maxLine);
        }
        return line;
    }
}

} // namespace ktsim
