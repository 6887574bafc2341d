// SPDX-License-Identifier: MIT
// Texts of a recording file: group names made from channel names, and the
// start time as ISO 8601 text.
#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace ktcli {

// The group name of a channel: its name with "%" written as "%25" and "/"
// (the path separator) as "%2F"; a name that is just "." (the group itself)
// becomes "%2E". An empty name, or one that `used` already holds, gets
// "%#N" appended, N being the channel's position in the recording counted
// from 1; escaped names never contain "%#", so the result is unique.
std::string uniqueGroupName(const std::string& channelName, size_t index, const std::set<std::string>& used);

// Days since 1899-12-30 00:00 UTC as "YYYY-MM-DDTHH:MM:SS.mmmZ", rounded
// to the millisecond; empty when the day is not finite or outside the
// years 1 to 9999.
std::string isoTimeFromDays(double days);

} // namespace ktcli
