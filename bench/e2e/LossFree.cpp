// SPDX-License-Identifier: MIT
#include "LossFree.h"

#include <algorithm>
#include <cmath>

namespace ktremote::bench {

namespace {

constexpr int kPacketMs = 5;
constexpr int kLowestRate = 125000;
constexpr int kHighestRate = 16000000; // 1 G samples/s; 100 ms rings would take 820 MB there
// Narrowing stops when the two rates are within this ratio (about 6 %).
constexpr double kResolution = 1.06;

// Whole kHz, so that writeSetup's sine repeats after 1000 samples and ktsim
// streams it from a table.
int roundRate(double rate) { return std::max(1000, static_cast<int>(std::lround(rate / 1000.0)) * 1000); }

} // namespace

double RateTrial::share() const { return figures.samplesPerSecond() / (static_cast<double>(rate) * kLossFreeChannels); }

int RateSearch::next() const
{
    if (searchDone)
        return 0;
    if (retry)
        return retry;
    if (high == 0)
        return low == 0 ? kLowestRate : low * 2;
    return roundRate(std::sqrt(static_cast<double>(low) * high));
}

void RateSearch::record(RateTrial trial)
{
    const int rate = trial.rate;
    const bool keptUp = trial.keptUp;
    const bool second = retry == rate;
    trialsRun.push_back(std::move(trial));
    retry = 0;
    if (keptUp)
        low = std::max(low, rate);
    else if (!second)
        retry = rate;
    else
        high = high == 0 ? rate : std::min(high, rate);
    if (retry)
        return;
    if (high == 0 && low >= kHighestRate)
        searchDone = true;
    else if (low == 0 && high != 0)
        searchDone = true; // not even the lowest rate
    else if (high != 0 && static_cast<double>(high) / low <= kResolution)
        searchDone = true;
    else if (high != 0 && (next() <= low || next() >= high))
        searchDone = true;
}

const RateTrial* RateSearch::best() const
{
    const RateTrial* found = nullptr;
    for (const RateTrial& trial : trialsRun)
        if (trial.keptUp && (!found || trial.rate > found->rate))
            found = &trial;
    return found;
}

RateTrial tryRate(const std::string& ktsim, const e2e::TempDir& dir, Receiver receiver, int rate, double seconds)
{
    StreamRun run;
    run.ktsim = ktsim;
    run.sim.setup = writeSetup(dir, kLossFreeChannels, rate);
    run.sim.packetMs = kPacketMs;
    run.sim.burst = false;
    run.channels = kLossFreeChannels;
    run.seconds = seconds;
    const StreamBytes stream = streamBytes(run.sim.setup, kPacketMs, 1 << 20);
    run.bytesPerSample = stream.bytesPerSample();
    const int buffer = static_cast<int>(std::ceil(rate * kBufferSeconds));
    if (receiver == Receiver::Reference || receiver == Receiver::PacedHost)
        run.readPeriod = kReadPeriod;

    RateTrial trial;
    trial.rate = rate;
    switch (receiver) {
    case Receiver::Sink: trial.figures = measureSimToSink(run); break;
    case Receiver::Reference: trial.figures = measureReference(run, static_cast<size_t>(buffer)); break;
    default: trial.figures = measureLibrary(run, buffer, false); break;
    }
    trial.keptUp = !trial.figures.overrun && trial.share() >= kKeptUpShare;
    return trial;
}

} // namespace ktremote::bench
