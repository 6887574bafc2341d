#include "LossCounter.h"

#include <cmath>

namespace ktcli {

LossCounter::LossCounter(ktremote::ChannelType type, double sampleRate)
{
    if (type != ktremote::ChannelType::Sync || !(sampleRate > 0.0) || !(sampleRate < 2147483647.0))
        return;
    const double rounded = static_cast<double>(std::llround(sampleRate));
    rate_ = rounded >= 1.0 ? rounded : sampleRate;
}

void LossCounter::add(const double* times, size_t count, bool overrun)
{
    overrun_ = overrun_ || overrun;
    if (rate_ == 0.0)
        return;
    for (size_t k = 0; k < count; ++k) {
        const double place = std::round(times[k] * rate_);
        if (!(std::fabs(place) < 9.0e18))
            continue;
        const auto index = static_cast<int64_t>(place);
        if (index > next_)
            counted_ += static_cast<uint64_t>(index - next_);
        if (index >= next_)
            next_ = index + 1;
    }
}

std::string LossCounter::text() const
{
    if (rate_ != 0.0 || counted_ > 0)
        return std::to_string(counted_);
    return overrun_ ? "some" : "0";
}

} // namespace ktcli
