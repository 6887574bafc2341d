#pragma once

// Loss-free throughput in real time. ktsim streams 64 float32 channels at a
// given per-channel rate in real time (5 ms packets) and a receiver must keep
// up without losing a sample. A search over the rate finds the highest rate
// at which each kind of receiver does:
//  - plain receiver: a thread that only receives and counts bytes, the
//    limit of ktsim as the sender;
//  - paced host: the library receives; the host reads every channel once
//    every 10 ms, with buffers that hold 100 ms of samples;
//  - spinning host: the library with the same buffers, the host reading
//    again as soon as a round is done.
// A rate is kept up with when the receiver got at least 97 % of the samples
// due over the window and, for the library, no read reported an overrun.

#include "Process.h"
#include "Throughput.h"

#include <string>
#include <vector>

namespace ktremote::bench {

enum class Receiver { Plain, PacedHost, SpinningHost };

struct RateTrial {
    int rate = 0; // samples per second and channel
    bool keptUp = false;
    StreamFigures figures;
};

struct LossFreeFigures {
    int channels = 64;
    std::vector<RateTrial> trials; // in the order they ran
    // The highest rate kept up with, or null when none was.
    const RateTrial* best() const;
};

constexpr int kLossFreeChannels = 64;
constexpr double kReadPeriod = 0.010;   // the paced host's period
constexpr double kBufferSeconds = 0.100; // what the paced host's buffers hold

LossFreeFigures searchLossFree(const std::string& ktsim, const e2e::TempDir& dir, Receiver receiver, double seconds);

// One trial of the search.
RateTrial tryRate(const std::string& ktsim, const e2e::TempDir& dir, Receiver receiver, int rate, double seconds);

} // namespace ktremote::bench
