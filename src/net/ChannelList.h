// SPDX-License-Identifier: MIT
#pragma once

// The application's list of the channels its current setup uses, as it
// answers "LISTUSEDCHS DW": a header line, one line per channel with
// tab-separated fields, and a closing line ("+ETX end list").

#include "api/ChannelRecord.h"
#include "net/SampleSize.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ktremote {

// The closing line of the list reply.
inline constexpr std::string_view channelListEnd = "+ETX end list";

// Rebuilds `channels` from a list reply: the list is emptied, every line
// between the first and the last is read as one channel, and the records
// whose data type the data stream can carry are appended in reply order.
// A line with a number that cannot be converted, or with fewer fields than
// a channel line has, raises a Failure; the records of the lines before it
// stay in `channels`. Touches nothing but its arguments.
void ParseChannelList(std::string_view reply, std::vector<ChannelRecord>& channels);

// Reads one channel line into a record, whatever its data type. Raises a
// Failure for a number that cannot be converted or a line that is too
// short.
ChannelRecord parseChannelLine(std::string_view line);

// Cuts a text into lines at every CR and every LF; empty pieces are dropped.
std::vector<std::string_view> splitListLines(std::string_view text);

// Cuts a line into fields at every tab. The text between two tabs is a
// field of its own, even when empty; a tab at the very end adds no field.
std::vector<std::string_view> splitListFields(std::string_view line);

// Whether a record with this data type code belongs in the channel list:
// negative codes and 2 to 7.
bool isListedDataType(int32_t dataType);

} // namespace ktremote
