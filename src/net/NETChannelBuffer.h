// SPDX-License-Identifier: MIT
#pragma once

#include "api/ChannelRecord.h"
#include "net/SampleRing.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ktremote {

// How a channel's samples are laid out in a packet and timed.
enum class ChannelKind : uint8_t {
    Async,      // n samples followed by n timestamps (seconds)
    Sync,       // n samples at the channel's fixed rate
    SingleValue // one current value, timed by the packet that carried it
};

// The decoded samples of one transferred channel, waiting for the host.
//
// The decoder on the I/O thread fills the ring; the host's reads empty it.
// Times:
//  * asynchronous: the timestamp received with the value, in seconds.
//  * synchronous: sample k of the channel's stream, counting every sample
//    decoded for it since the start (dropped ones included), is at
//    k * (1 / r) seconds, with r the sample rate rounded to an integer. After
//    samples were dropped the times jump by the duration of the dropped
//    ones, so the host sees each gap and its size. A rate below 0.5 Hz,
//    which would round to 0, times sample k at k / rate. A rate that rounds
//    to 0 otherwise, or is not a finite number within the 32-bit range (a
//    divider of 0 gives an infinite rate), gives no usable time base: all
//    samples then get the relative time 0 (and the absolute time of the
//    start of the measurement).
//  * single value: the time of the packet that carried it, which travels
//    with the value through the ring: packet time - start time, in seconds.
// Absolute times are in days: received timestamps / 86400, computed times
// / 86400 plus the start time, and a single value's packet time as it is.
class NETChannelBuffer {
public:
    // capacity: samples held before the oldest is dropped (at least 1).
    NETChannelBuffer(const ChannelRecord& record, size_t capacity, double sampleRate);

    const std::string id;
    const ChannelKind kind;
    const int32_t dataType;
    const int32_t sampleSize; // bytes per sample on the wire
    const double scale1;
    const double offset1;
    const double scale2;
    const double offset2;
    const double sampleRate;

    // Producer side (I/O thread).
    SampleRing& ring() { return sampleRing; }

    // Host side: moves up to `max` samples into values and times. Relative
    // times are in seconds; with `absolute` they are in days (see above).
    // The start time (days) is loaded after the samples, so that it is the
    // one their packet set.
    size_t take(double* values, double* times, size_t max, const std::atomic<double>& startTime, bool absolute);

private:
    const double timeStep;  // 1 / the rounded rate, or 0
    const double exactRate; // the rate when it is below 0.5 Hz (timed k / rate), else 0
    SampleRing sampleRing;
};

} // namespace ktremote
