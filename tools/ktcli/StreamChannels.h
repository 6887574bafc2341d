// SPDX-License-Identifier: MIT
// The channels a stream records: opened at the start, and opened again and
// checked after the application was lost and found again.
#pragma once

#include "Connection.h"
#include "LossCounter.h"
#include "StreamOutput.h"

#include <string>
#include <vector>

namespace ktcli {

struct StreamedChannel {
    OpenChannel open;
    double rate;
    Statistics statistics;
    LossCounter loss;
    std::vector<double> values; // the current read
    std::vector<double> times;
};

// Opens the channels given by name or id (every channel when none is) and
// reads their sample rates. Throws Failure or UsageError.
std::vector<StreamedChannel> openChannels(Connection& connection, const std::vector<std::string>& keys);

// After a new connection: opens every recorded channel again by its id.
// Throws Failure(0, a sentence naming the channel) when one is gone or its
// type or sample rate changed.
void reopenChannels(Connection& connection, std::vector<StreamedChannel>& channels);

std::vector<std::string> channelNames(const std::vector<StreamedChannel>& channels);
std::vector<std::string> channelUnits(const std::vector<StreamedChannel>& channels);

} // namespace ktcli
