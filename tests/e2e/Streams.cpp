#include "Streams.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

namespace ktremote::e2e {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t block = 4096;
constexpr auto pace = std::chrono::milliseconds(10);

// Computed times may differ in their last bits between builds (x87 keeps
// intermediate results in extended precision); values and received
// timestamps may not.
bool nearlyEqual(double a, double b)
{
    return std::fabs(a - b) <= 4 * std::numeric_limits<double>::epsilon() * std::max(std::fabs(a), std::fabs(b));
}

} // namespace

size_t Reading::readAll()
{
    size_t added = 0;
    if (paused)
        return added;
    for (;;) {
        size_t count = block;
        if (kind == ReadKind::Allocating) {
            double* v = nullptr;
            double* t = nullptr;
            lastResult = ktconChannelReadScalarData(handle, &v, &t, &count);
            if (v != nullptr) {
                values.insert(values.end(), v, v + count);
                times.insert(times.end(), t, t + count);
            }
            std::free(v);
            std::free(t);
            added += count;
            // The library hands out at most 3000 values per call.
            if (count < 3000)
                return added;
            continue;
        }
        const size_t at = values.size();
        values.resize(at + block);
        times.resize(at + block);
        lastResult = kind == ReadKind::Relative
                         ? ktconChannelReadScalarData_2(handle, values.data() + at, times.data() + at, &count)
                         : ktconChannelReadScalarData_2abs(handle, values.data() + at, times.data() + at, &count);
        values.resize(at + count);
        times.resize(at + count);
        overrun = overrun || lastResult == KX_ERR_DATA_OVERRUN;
        added += count;
        if (count < block)
            return added;
    }
}

void Reading::clear()
{
    values.clear();
    times.clear();
    overrun = false;
}

std::vector<Reading> openReadings(::KTXInstance* instance, const ktsim::SampleModel& model,
                                  const std::vector<std::string>& names)
{
    std::vector<std::string> wanted = names;
    if (wanted.empty())
        for (const ktsim::Channel& channel : model.setup().channels)
            if (ktsim::hostLists(channel.dataType))
                wanted.push_back(channel.name);
    std::vector<Reading> readings;
    for (const std::string& name : wanted) {
        Reading reading;
        reading.model = &model.channel(name);
        reading.owned = openChannel(instance, name.c_str());
        reading.handle = reading.owned.get();
        readings.push_back(reading);
    }
    return readings;
}

bool readUntil(std::vector<Reading>& readings, const std::function<bool()>& done, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    for (;;) {
        for (Reading& reading : readings)
            reading.readAll();
        if (done())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(pace);
    }
}

void readRest(std::vector<Reading>& readings, const Ktsim& sim, int closedConnections)
{
    // ktsim logs "data connection closed after N packets" once it has sent
    // its last packet and closed the connection.
    const auto closed = [&] {
        const std::string log = sim.log();
        int found = 0;
        for (size_t at = log.find("data connection closed after"); at != std::string::npos;
             at = log.find("data connection closed after", at + 1))
            ++found;
        return found >= closedConnections;
    };
    ASSERT_TRUE(readUntil(readings, closed)) << sim.log();
    // The last bytes may still be on their way through the library's I/O
    // thread: read until a good while passes without a new sample.
    const auto end = Clock::now() + std::chrono::seconds(60);
    for (int quietRounds = 0; quietRounds < 20 && Clock::now() < end;) {
        size_t added = 0;
        for (Reading& reading : readings)
            added += reading.readAll();
        quietRounds = added == 0 ? quietRounds + 1 : 0;
        std::this_thread::sleep_for(pace);
    }
}

double expectedValue(const ktsim::SampleModel& model, const ktsim::Channel& channel, uint64_t index,
                     double controlValue)
{
    if (channel.control)
        return ktsim::hostDecode(channel, ktsim::encodeRaw(channel, controlValue));
    return model.decoded(channel, index);
}

void expectExactDelivery(const ktsim::SampleModel& model, const Reading& reading, double startDays)
{
    const ktsim::Channel& channel = *reading.model;
    ASSERT_EQ(reading.values.size(), reading.times.size());
    const bool absolute = reading.kind == ReadKind::Absolute;
    // The library times synchronous samples by their count and the rate
    // rounded to an integer; single values have the rate -1.
    const double step = channel.kind == ktsim::ChannelKind::SingleValue
                            ? -1.0
                            : 1.0 / static_cast<double>(std::llround(model.rate(channel)));
    for (size_t i = 0; i < reading.values.size(); ++i) {
        const double value = expectedValue(model, channel, i, channel.wave.value);
        ASSERT_EQ(reading.values[i], value) << channel.name << " sample " << i << " of " << reading.values.size();
        if (channel.kind == ktsim::ChannelKind::Async) {
            const double sent = model.timestamp(channel, i);
            if (absolute)
                ASSERT_TRUE(nearlyEqual(reading.times[i], sent / 86400.0)) << channel.name << " time " << i;
            else
                ASSERT_EQ(reading.times[i], sent) << channel.name << " time " << i;
            continue;
        }
        const double relative = static_cast<double>(i) * step;
        const double time = absolute ? relative / 86400.0 + startDays : relative;
        ASSERT_TRUE(nearlyEqual(reading.times[i], time))
            << channel.name << " time " << i << ": " << reading.times[i] << " instead of " << time;
    }
}

} // namespace ktremote::e2e
