// SPDX-License-Identifier: MIT
// Samples of one channel that the library dropped during a stream.
//
// A synchronous sample's time is k / r, k its place in the channel's stream
// since the start (dropped samples included) and r the channel's rate as
// the library times it: rounded to the nearest integer, or the exact rate
// when that rounds to 0. So each sample's k is round(t * r), and every k
// that never showed up between two delivered samples was dropped. The
// other kinds carry no such count: for them it is known only that the
// library reported dropped samples, which it does for the measurement as a
// whole, not per channel.
#pragma once

#include "ktremote.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ktcli {

class LossCounter {
public:
    LossCounter(ktremote::ChannelType type, double sampleRate);

    // The samples of one read and whether the library reported an overrun.
    void add(const double* times, size_t count, bool overrun);

    // A new measurement: its samples count from place 0 again.
    void restart() { expectedPlace = 0; }

    // Dropped samples counted from the times.
    uint64_t counted() const { return lostCount; }
    // Whether this channel lost samples, as far as can be told.
    bool lost() const { return lostCount > 0 || (countingRate == 0.0 && overrunSeen); }
    // "0", the count, or "some" where only the overrun is known.
    std::string text() const;

private:
    double countingRate = 0.0; // 0: times do not count samples
    int64_t expectedPlace = 0; // the place of the next sample when none is lost
    uint64_t lostCount = 0;
    bool overrunSeen = false;
};

} // namespace ktcli
