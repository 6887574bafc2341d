#include "LineFramer.h"

namespace ktsim {

std::optional<std::string> LineFramer::next(bool* overlong)
{
    if (overlong)
        *overlong = false;
    for (;;) {
        std::size_t end = pending_.find('\n', scanned_);
        if (end == std::string::npos) {
            scanned_ = pending_.size();
            if (pending_.size() <= maxLine)
                return std::nullopt;
            // Report an overlong line once, then drop the rest of it.
            std::string head = pending_.substr(0, maxLine);
            pending_.clear();
            scanned_ = 0;
            bool report = !discarding_;
            discarding_ = true;
            if (report) {
                if (overlong)
                    *overlong = true;
                return head;
            }
            return std::nullopt;
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        scanned_ = 0;
        if (discarding_) {
            discarding_ = false;
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

}  // namespace ktsim
