// SPDX-License-Identifier: MIT
// Turns the running acquisition into packets for one data connection: keeps,
// per transferred channel, the index of the next sample to send.
#pragma once

#include "ControlValues.h"
#include "SampleModel.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace ktsim {

// How many samples of a channel are due `elapsed` seconds into the
// acquisition (single values: how many updates have happened, counting the
// one at the start).
std::uint64_t samplesDue(const SampleModel& model, const Channel& channel, double elapsed);

class PacketSource {
public:
    // `numbers`: the channels to send, in block order; each must be in the
    // model's setup.
    PacketSource(std::shared_ptr<const SampleModel> model, const std::vector<int>& numbers);

    // Starts again from sample 0 of every channel (a new acquisition).
    void restart();

    // Appends one packet holding the samples that are due by `elapsed`
    // seconds and not sent yet, at most about `maxBody` bytes of them.
    // Returns false (appending nothing) when no channel has anything to send.
    bool append(std::vector<std::uint8_t>& out, double elapsed, double startDays, const ControlValues& controls,
                std::size_t maxBody = 1 << 20);

    // With a stamp, the samples of float64 channels that the following
    // append() calls send all carry that value instead of their waveform
    // (ktsim --stamp-send-time: the send time, for latency measurements).
    void setStamp(std::optional<double> stamp) { fixedStamp = stamp; }

    // True while samples due by `elapsed` are still unsent.
    bool behind(double elapsed, const ControlValues& controls) const;

    std::int32_t packetsSent() const { return sequence; }
    std::uint64_t sent(std::size_t block) const { return cursors[block].next; }
    std::size_t blockCount() const { return cursors.size(); }
    const Channel& channelAt(std::size_t block) const { return *cursors[block].channel; }
    const SampleModel& model() const { return *sampleModel; }

private:
    struct Cursor {
        const Channel* channel;
        std::uint64_t next = 0;
        std::uint64_t controlVersion = 0;
        RawSample last;
        // Encoded samples of one period, for channels that repeat (empty
        // until first needed, or when the period is too long to keep).
        std::vector<std::uint8_t> table;
        std::uint64_t period = 0;
    };

    void appendSamples(std::vector<std::uint8_t>& out, Cursor& cursor, std::uint64_t count,
                       const ControlValues& controls);

    std::uint64_t due(const Channel& channel, double elapsed) const
    {
        return samplesDue(*sampleModel, channel, elapsed);
    }
    RawSample valueOf(const Cursor& cursor, std::uint64_t index, const ControlValues& controls) const;
    bool singleDue(const Cursor& cursor, double elapsed, const ControlValues& controls) const;

    std::shared_ptr<const SampleModel> sampleModel;
    std::vector<Cursor> cursors;
    std::int32_t sequence = 0;
    std::optional<double> fixedStamp;
};

} // namespace ktsim
