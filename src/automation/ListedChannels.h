// SPDX-License-Identifier: MIT
#pragma once

// Which of the application's used channels the library lists: those that
// are shown and whose data type is at most 9. Only listed channels are
// counted, enumerated, given ids and connected.

#include <oaidl.h>

#include <cstdint>

namespace ktremote {

inline bool isListed(bool shown, int32_t dataType) { return shown && dataType <= 9; }

// Reads the channel's "Shown" and "DataType", in this order.
bool isListed(IDispatch* channel);

struct ChannelCounts {
    int32_t used;   // the collection's "Count"
    int32_t listed; // how many of them are listed; "Count" itself when that is 0 or less
};

// Counts the channels in the data object's "UsedChannels", afresh from the
// application.
ChannelCounts countChannels(IDispatch* data);
inline int32_t listedCount(IDispatch* data) { return countChannels(data).listed; }

} // namespace ktremote
