// SPDX-License-Identifier: MIT
#include "LossCounter.h"

#include <cmath>

namespace ktcli {

LossCounter::LossCounter(ktremote::ChannelType type, double sampleRate)
{
    if (type != ktremote::ChannelType::Sync || !(sampleRate > 0.0) || !(sampleRate < 2147483647.0))
        return;
    const double rounded = static_cast<double>(std::llround(sampleRate));
    countingRate = rounded >= 1.0 ? rounded : sampleRate;
}

void LossCounter::add(const double* times, size_t count, bool overrun)
{
    overrunSeen = overrunSeen || overrun;
    if (countingRate == 0.0)
        return;
    for (size_t k = 0; k < count; ++k) {
        const double place = std::round(times[k] * countingRate);
        if (!(std::fabs(place) < 9.0e18))
            continue;
        const auto index = static_cast<int64_t>(place);
        if (index > expectedPlace)
            lostCount += static_cast<uint64_t>(index - expectedPlace);
        if (index >= expectedPlace)
            expectedPlace = index + 1;
    }
}

std::string LossCounter::text() const
{
    if (countingRate != 0.0 || lostCount > 0)
        return std::to_string(lostCount);
    return overrunSeen ? "some" : "0";
}

} // namespace ktcli
