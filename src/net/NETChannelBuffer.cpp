#include "net/NETChannelBuffer.h"

#include <cmath>

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

} // namespace

int32_t sampleSizeOf(int32_t dataType, int32_t fallback)
{
    switch (dataType) {
    case 0: case 1: return 1;
    case 2: case 3: return 2;
    case 4: case 5: return 4;
    case 6: case 7: return 8;
    default: return fallback > 0 ? fallback : 4;
    }
}

NETChannelBuffer::NETChannelBuffer(const ChannelRecord& record, size_t capacity, double rate)
    : id(record.id)
    , kind(kindOf(record))
    , dataType(record.dataType)
    , sampleSize(sampleSizeOf(record.dataType, record.sampleSize))
    , scale1(record.scale1)
    , offset1(record.offset1)
    , scale2(record.scale2)
    , offset2(record.offset2)
    , sampleRate(rate)
    , timeStep_(timeStepOf(rate))
    , ring_(capacity, kind == ChannelKind::Async)
{
}

size_t NETChannelBuffer::take(double* values, double* times, size_t max, const std::atomic<double>* startTime)
{
    if (kind == ChannelKind::Async) {
        const size_t n = ring_.read(values, times, max);
        if (startTime) {
            for (size_t i = 0; i < n; ++i)
                times[i] /= 86400.0;
        }
        return n;
    }
    const size_t n = ring_.read(values, nullptr, max);
    const double step = timeStep_;
    const int64_t k = sampleCounter_;
    if (startTime) {
        const double start = startTime->load(std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i)
            times[i] = static_cast<double>(k + static_cast<int64_t>(i)) * step / 86400.0 + start;
    } else {
        for (size_t i = 0; i < n; ++i)
            times[i] = static_cast<double>(k + static_cast<int64_t>(i)) * step;
    }
    sampleCounter_ = k + static_cast<int64_t>(n);
    return n;
}

} // namespace ktremote
