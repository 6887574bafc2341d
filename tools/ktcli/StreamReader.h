// SPDX-License-Identifier: MIT
// Reads the samples of a stream's channels into the sink, on one time base
// for the whole recording: seconds since the start of its first
// measurement, on the application's clock.
//
// Each measurement (segment) times its samples from its own start. That
// start in days is the absolute time of sample 0 of the first synchronous
// channel, which the first read of a segment takes with the absolute read;
// the segment's offset on the recording's time base is then computed once,
// and each sample's time is that offset plus its own relative time, so no
// precision is lost to a large days value. A recording without synchronous
// channels, or one whose first read already lost samples, falls back to the
// host's clock at the start.
#pragma once

#include "SampleSink.h"
#include "StreamChannels.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ktcli {

class Reader {
public:
    Reader(std::vector<StreamedChannel>& channels, SampleSink& sink) : streamedChannels(channels), sampleSink(sink) {}

    // A measurement started at about `hostDays` (the host's clock): sample
    // times count from 0 again.
    void beginSegment(double hostDays);

    // Reads everything buffered for every channel into the sink; returns
    // the number of samples read. Throws Failure for a failed read and
    // WriteFailure when the sink cannot be written.
    size_t round();

    // A segment that ends before its start on the application's clock was
    // known (no sample came) takes the host's time of its start, so that it
    // is still recorded.
    void settleStart();

    // Whether the current segment's start is known (samples are read).
    bool segmentStarted() const { return segmentKnown; }
    // The current segment's start and its latest sample time, in seconds
    // since the recording's start.
    double segmentStart() const { return segmentOffset; }
    double segmentEnd() const { return latestTime; }

    // Whether the measurement lost samples: the library reports that for
    // all channels together; the counts say which ones.
    bool lost() const;
    std::vector<uint64_t> counts() const;
    std::vector<std::string> losses() const;

private:
    // Finds the segment's start; false while it cannot be told yet.
    bool findSegmentStart();
    void startSegmentAt(double days);

    std::vector<StreamedChannel>& streamedChannels;
    SampleSink& sampleSink;
    bool overrunSeen = false;
    bool recordingStarted = false;
    double recordingDays = 0.0;
    bool segmentKnown = false;
    double segmentOffset = 0.0;
    double latestTime = 0.0;
    double segmentHostDays = 0.0;
    std::chrono::steady_clock::time_point segmentBegan;
    // The first sample of the timing channel, taken by the absolute read.
    size_t probeChannel = 0;
    bool probeHeld = false;
    double probeValue = 0.0;
};

} // namespace ktcli
