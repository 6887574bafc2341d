// SPDX-License-Identifier: MIT
#pragma once

#include "ChannelList.h"

#include <asio/read_until.hpp>

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace ktremote {

// Where a reply on the command connection ends: at a marker text, or at the
// end of the line that holds the marker.
//
// A one-line reply ends with its "\r\n". The channel list ends with the line
// "+ETX end list"; its line end is part of the reply too, even when it comes
// in a later TCP segment than the marker. A reply taken at the marker would
// leave the line end in the buffer, and the next command would get it as its
// whole reply, shifting every later reply by one command.
//
// Used as a match condition of asio::async_read_until.
class ReplyEnd {
public:
    static ReplyEnd line() { return ReplyEnd("\r\n", false); }
    static ReplyEnd list() { return ReplyEnd(std::string(channelListEnd), true); }

    const std::string& marker() const { return markerText; }

    // Asio match condition: [begin, end) are the received bytes from where
    // the last call asked the search to resume. Returns the end of the reply
    // and true, or where to resume and false.
    template <class Iterator>
    std::pair<Iterator, bool> operator()(Iterator begin, Iterator end) const
    {
        const Iterator at = std::search(begin, end, markerText.begin(), markerText.end());
        if (at == end) {
            // The tail may be the beginning of the marker.
            const auto keep =
                std::min<std::ptrdiff_t>(std::distance(begin, end), static_cast<std::ptrdiff_t>(markerText.size()) - 1);
            return {std::prev(end, keep), false};
        }
        const Iterator afterMarker = std::next(at, static_cast<std::ptrdiff_t>(markerText.size()));
        if (!extendsThroughLineEnd)
            return {afterMarker, true};
        const Iterator lineEnd = std::find(afterMarker, end, '\n');
        if (lineEnd == end)
            return {at, false};
        return {std::next(lineEnd), true};
    }

private:
    ReplyEnd(std::string marker, bool throughLineEnd)
        : markerText(std::move(marker)), extendsThroughLineEnd(throughLineEnd)
    {
    }

    std::string markerText;
    bool extendsThroughLineEnd;
};

} // namespace ktremote

namespace asio {
template <>
struct is_match_condition<ktremote::ReplyEnd> : std::true_type {
};
} // namespace asio
