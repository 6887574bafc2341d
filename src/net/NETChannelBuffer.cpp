// SPDX-License-Identifier: MIT
#include "net/NETChannelBuffer.h"

#include "net/SampleSize.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace ktremote {

namespace {

ChannelKind kindOf(const ChannelRecord& record)
{
    if (record.isAsync)
        return ChannelKind::Async;
    return record.isSingleValue ? ChannelKind::SingleValue : ChannelKind::Sync;
}

// 1 / r with r the rate rounded to the nearest integer, or 0 when that
// integer is 0 or does not fit 32 bits (infinite and NaN rates included).
double timeStepOf(double sampleRate)
{
    if (!(std::fabs(sampleRate) < 2147483647.0))
        return 0.0;
    const auto rounded = static_cast<int32_t>(std::llround(sampleRate));
    return rounded == 0 ? 0.0 : 1.0 / rounded;
}

// Channels slower than 0.5 Hz, whose rate rounds to 0, are timed by the
// rate itself.
double exactRateOf(double sampleRate) { return sampleRate > 0.0 && sampleRate < 0.5 ? sampleRate : 0.0; }

} // namespace

NETChannelBuffer::NETChannelBuffer(const ChannelRecord& record, size_t capacity, double rate)
    : id(record.id), kind(kindOf(record)), dataType(record.dataType),
      sampleSize(sampleSizeOf(record.dataType, record.sampleSize)), scale1(record.scale1), offset1(record.offset1),
      scale2(record.scale2), offset2(record.offset2), sampleRate(rate), timeStep(timeStepOf(rate)),
      exactRate(exactRateOf(rate)), sampleRing(std::min<size_t>(capacity, INT32_MAX), kind != ChannelKind::Sync)
{
}

size_t NETChannelBuffer::take(double* values, double* times, size_t max, const std::atomic<double>& startTime,
                              bool absolute)
{
    if (kind == ChannelKind::Async) {
        const size_t n = sampleRing.read(values, times, max);
        if (absolute) {
            for (size_t i = 0; i < n; ++i)
                times[i] /= 86400.0;
        }
        return n;
    }
    if (kind == ChannelKind::SingleValue) {
        const size_t n = sampleRing.read(values, times, max); // packet times, in days
        if (!absolute) {
            const double start = startTime.load(std::memory_order_relaxed);
            for (size_t i = 0; i < n; ++i)
                times[i] = (times[i] - start) * 86400.0;
        }
        return n;
    }
    uint64_t k = 0; // stream index of the first sample read
    const size_t n = sampleRing.read(values, nullptr, max, &k);
    // k + i is exact in a double (below 2^53), and the int32 index keeps the
    // loops vectorisable (n is at most the capacity, an int32).
    const double first = static_cast<double>(k);
    const double start = absolute ? startTime.load(std::memory_order_relaxed) : 0.0;
    if (exactRate > 0.0) {
        const double rate = exactRate;
        for (int32_t i = 0; i < static_cast<int32_t>(n); ++i) {
            const double seconds = (first + i) / rate;
            times[i] = absolute ? seconds / 86400.0 + start : seconds;
        }
        return n;
    }
    const double step = timeStep;
    if (absolute) {
        for (int32_t i = 0; i < static_cast<int32_t>(n); ++i)
            times[i] = (first + i) * step / 86400.0 + start;
    } else {
        for (int32_t i = 0; i < static_cast<int32_t>(n); ++i)
            times[i] = (first + i) * step;
    }
    return n;
}

} // namespace ktremote
