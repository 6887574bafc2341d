#include "LossFree.h"

#include <algorithm>
#include <cmath>

namespace ktremote::bench {

namespace {

constexpr int kPacketMs = 5;
constexpr double kKeptUpShare = 0.97;
// Doubling from the lowest rate finds the first rate that is not kept up
// with; two halvings of the step (in ratio) then narrow it to within 19 %.
constexpr int kLowestRate = 125000;
constexpr int kHighestRate = 8000000; // 2 GB/s; 100 ms buffers take 410 MB there
constexpr int kRefinements = 2;

// Rates are whole kHz, so that writeSetup's sine repeats after 1000 samples
// and ktsim streams it from a table.
int roundRate(double rate)
{
    return std::max(1000, static_cast<int>(std::lround(rate / 1000.0)) * 1000);
}

} // namespace

const RateTrial* LossFreeFigures::best() const
{
    const RateTrial* found = nullptr;
    for (const RateTrial& trial : trials)
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

    RateTrial trial;
    trial.rate = rate;
    if (receiver == Receiver::Plain) {
        trial.figures = measureSimToSink(run);
    } else {
        if (receiver == Receiver::PacedHost)
            run.readPeriod = kReadPeriod;
        const int buffer = static_cast<int>(std::ceil(rate * kBufferSeconds));
        trial.figures = measureLibrary(run, buffer, false);
    }
    const double due = static_cast<double>(rate) * kLossFreeChannels;
    trial.keptUp = !trial.figures.overrun && trial.figures.samplesPerSecond() >= kKeptUpShare * due;
    return trial;
}

LossFreeFigures searchLossFree(const std::string& ktsim, const e2e::TempDir& dir, Receiver receiver, double seconds)
{
    LossFreeFigures figures;
    figures.channels = kLossFreeChannels;
    const auto attempt = [&](int rate) {
        figures.trials.push_back(tryRate(ktsim, dir, receiver, rate, seconds));
        return figures.trials.back().keptUp;
    };
    int low = 0;   // highest rate kept up with so far
    int high = 0;  // lowest rate not kept up with
    for (int rate = kLowestRate; rate <= kHighestRate; rate *= 2) {
        if (!attempt(rate)) {
            high = rate;
            break;
        }
        low = rate;
    }
    if (low == 0 || high == 0)
        return figures; // not even the lowest, or every rate up to the highest
    for (int step = 0; step < kRefinements; ++step) {
        const int middle = roundRate(std::sqrt(static_cast<double>(low) * high));
        if (middle <= low || middle >= high)
            break;
        if (attempt(middle))
            low = middle;
        else
            high = middle;
    }
    return figures;
}

} // namespace ktremote::bench
