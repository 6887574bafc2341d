// SPDX-License-Identifier: MIT
#pragma once

// Loss-free throughput in real time. ktsim streams 64 float32 channels at a
// given per-channel rate in real time (5 ms packets) and a receiver must keep
// up without losing a sample. A search over the rate finds the highest rate
// at which each kind of receiver does:
//  - sink: a thread that only receives and counts bytes (what ktsim can send
//    in real time; nothing is decoded), the anchor the others are compared
//    with;
//  - reference: ReferenceReceiver decodes into rings of its own, and a host
//    pops every ring empty once every 10 ms;
//  - paced host: the library receives; the host reads every channel once
//    every 10 ms;
//  - spinning host: the library, the host reading again as soon as a round
//    is done.
// The rings of the last three hold 100 ms of samples at the rate tried. A
// rate is kept up with when the host got at least 97 % of the samples due
// over the window and no sample was dropped (for the library: no read
// returned KX_ERR_DATA_OVERRUN). A rate that fails is tried once more before
// it counts as failed, so that one burst of other work on the machine does
// not end a search.

#include "Process.h"
#include "Throughput.h"

#include <string>
#include <vector>

namespace ktremote::bench {

enum class Receiver { Sink, Reference, PacedHost, SpinningHost };

constexpr int kLossFreeChannels = 64;
constexpr double kReadPeriod = 0.010;    // the paced hosts' period
constexpr double kBufferSeconds = 0.100; // what the rings hold at the rate tried
constexpr double kKeptUpShare = 0.97;

struct RateTrial {
    int rate = 0; // samples per second and channel
    bool keptUp = false;
    StreamFigures figures;
    // Share of the samples due over the window that the host got.
    double share() const;
};

// The search for one receiver: doubling from the lowest rate up to the first
// that fails, then narrowing between the last kept up with and the first
// failed by geometric middles. The caller runs the trials, so that the
// searches of several receivers can take turns and a change of the machine's
// load hits them alike.
class RateSearch {
public:
    explicit RateSearch(Receiver receiver) : searchedReceiver(receiver) {}

    Receiver receiver() const { return searchedReceiver; }
    // The rate to try next; 0 when the search is over.
    int next() const;
    void record(RateTrial trial);

    const std::vector<RateTrial>& trials() const { return trialsRun; }
    // The highest rate kept up with, or null when none was.
    const RateTrial* best() const;

private:
    Receiver searchedReceiver;
    std::vector<RateTrial> trialsRun; // in the order they ran
    int low = 0;                      // highest rate kept up with
    int high = 0;                     // lowest rate failed twice
    int retry = 0;                    // a rate that failed once
    bool searchDone = false;
};

// One trial: ktsim streams at `rate` per channel for a window of `seconds`.
RateTrial tryRate(const std::string& ktsim, const e2e::TempDir& dir, Receiver receiver, int rate, double seconds);

} // namespace ktremote::bench
