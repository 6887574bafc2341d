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
    SingleValue // one current value, timed like a synchronous sample
};

// The decoded samples of one transferred channel, waiting for the host.
//
// The decoder on the I/O thread fills the ring; the host's reads empty it
// and compute the times of synchronous and single-value samples from the
// number of samples taken so far and the channel's sample rate rounded to an
// integer r: sample k is at k * (1 / r) seconds. A rate that rounds to 0, or
// is not a finite number within the 32-bit range (a divider of 0 gives an
// infinite rate), gives such a channel no usable time base: all its samples
// then get the relative time 0 (and the absolute time of the start of the
// measurement). A single-value channel has the rate -1, so its samples are
// at 0, -1, -2, ... seconds.
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
    SampleRing& ring() { return ring_; }

    // Host side: moves up to `max` samples into values and times. Relative
    // times are in seconds. With `startTime` (days) the times are absolute,
    // in days: received timestamps / 86400, computed times / 86400 plus the
    // start time, which is loaded after the samples so that it is the one
    // their packet set.
    size_t take(double* values, double* times, size_t max, const std::atomic<double>* startTime = nullptr);

    // Seconds between two computed sample times; 0 without a usable rate.
    double timeStep() const { return timeStep_; }

private:
    const double timeStep_;
    int64_t sampleCounter_ = 0; // samples taken by the host so far
    SampleRing ring_;
};

// Bytes per sample of a data type code; codes without an encoding of their
// own take `fallback` when it is positive, else 4.
int32_t sampleSizeOf(int32_t dataType, int32_t fallback = 0);

} // namespace ktremote
