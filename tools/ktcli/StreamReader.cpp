// SPDX-License-Identifier: MIT
#include "StreamReader.h"

#include <algorithm>

namespace ktcli {

namespace {

// Samples taken from a channel in one read call.
constexpr size_t readBlock = 8192;
// How long a segment may go without a sample of its timing channel before
// its start is taken from the host's clock.
constexpr auto startLimit = std::chrono::seconds(2);

} // namespace

void Reader::beginSegment(double hostDays)
{
    segmentKnown = false;
    probeHeld = false;
    segmentHostDays = hostDays;
    segmentBegan = std::chrono::steady_clock::now();
    for (StreamedChannel& streamed : streamedChannels)
        streamed.loss.restart();
}

void Reader::settleStart()
{
    if (!segmentKnown) {
        probeHeld = false;
        startSegmentAt(segmentHostDays);
    }
}

void Reader::startSegmentAt(double days)
{
    if (!recordingStarted) {
        recordingDays = days;
        recordingStarted = true;
        sampleSink.start(days);
    }
    segmentOffset = (days - recordingDays) * 86400.0;
    latestTime = segmentOffset;
    segmentKnown = true;
    sampleSink.beginSegment(segmentOffset);
}

bool Reader::findSegmentStart()
{
    const auto timing = std::find_if(streamedChannels.begin(), streamedChannels.end(), [](const StreamedChannel& s) {
        return s.open.type == ktremote::ChannelType::Sync;
    });
    if (timing != streamedChannels.end()) {
        double value = 0.0;
        double days = 0.0;
        const ktremote::ReadResult result = request("cannot read " + timing->open.name, [&] {
            return timing->open.channel.readAbsolute(ktremote::Span<double>(&value, 1),
                                                     ktremote::Span<double>(&days, 1));
        });
        overrunSeen = overrunSeen || result.overrun;
        if (result.count == 1 && !result.overrun) {
            // Nothing was dropped yet: this is sample 0, at the start itself.
            probeChannel = static_cast<size_t>(timing - streamedChannels.begin());
            probeHeld = true;
            probeValue = value;
            startSegmentAt(days);
            return true;
        }
        if (result.count == 0 && std::chrono::steady_clock::now() - segmentBegan < startLimit)
            return false;
    }
    startSegmentAt(segmentHostDays);
    return true;
}

size_t Reader::round()
{
    if (!segmentKnown && !findSegmentStart())
        return 0;
    size_t total = 0;
    for (;;) {
        std::vector<Samples> samples;
        bool full = false;
        for (size_t c = 0; c < streamedChannels.size(); ++c) {
            StreamedChannel& streamed = streamedChannels[c];
            streamed.values.resize(readBlock);
            streamed.times.resize(readBlock);
            size_t first = 0;
            if (probeHeld && c == probeChannel) {
                streamed.values[0] = probeValue;
                streamed.times[0] = 0.0;
                first = 1;
                probeHeld = false;
            }
            const ktremote::ReadResult result = request("cannot read " + streamed.open.name, [&] {
                return streamed.open.channel.read(
                    ktremote::Span<double>(streamed.values.data() + first, readBlock - first),
                    ktremote::Span<double>(streamed.times.data() + first, readBlock - first));
            });
            const size_t count = first + result.count;
            // After an overrun the samples delivered are still valid.
            overrunSeen = overrunSeen || result.overrun;
            streamed.statistics.add(streamed.values.data(), count);
            streamed.loss.add(streamed.times.data(), count, result.overrun);
            for (size_t k = 0; k < count; ++k)
                streamed.times[k] += segmentOffset;
            if (count > 0)
                latestTime = std::max(latestTime, streamed.times[count - 1]);
            samples.push_back({streamed.values.data(), streamed.times.data(), count});
            total += count;
            full = full || count == readBlock;
        }
        sampleSink.write(samples);
        if (!full)
            return total;
    }
}

bool Reader::lost() const
{
    return overrunSeen ||
        std::any_of(streamedChannels.begin(), streamedChannels.end(),
                    [](const StreamedChannel& streamed) { return streamed.loss.lost(); });
}

std::vector<uint64_t> Reader::counts() const
{
    std::vector<uint64_t> result;
    for (const StreamedChannel& streamed : streamedChannels)
        result.push_back(streamed.statistics.count());
    return result;
}

std::vector<std::string> Reader::losses() const
{
    std::vector<std::string> result;
    for (const StreamedChannel& streamed : streamedChannels)
        result.push_back(streamed.loss.text());
    return result;
}

} // namespace ktcli
