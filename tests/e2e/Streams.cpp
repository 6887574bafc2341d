// SPDX-License-Identifier: MIT
#include "Streams.h"

#include "SetupParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

namespace ktremote::e2e {

const ktsim::SampleModel& defaultModel()
{
    static const ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    return model;
}

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

Measurement measureVoltageAndEvents(const Ktsim& sim, uint16_t dataPort, int bufferSize, size_t first)
{
    Measurement measurement;
    measurement.app = connectFast(sim.connectText(dataPort));
    const auto started = [&] {
        size_t count = 0;
        ASSERT_EQ(ktconGetChannelCount(measurement.app, &count), KX_OK);
        measurement.readings = openReadings(measurement.app, defaultModel(), {"Voltage", "Events"});
        ASSERT_EQ(ktconSetBufferSize(measurement.app, bufferSize), KX_OK);
        ASSERT_EQ(ktconStartMeasurement(measurement.app), KX_OK);
        std::vector<Reading>& readings = measurement.readings;
        ASSERT_TRUE(readUntil(readings, [&] { return readings.front().values.size() >= first; }));
    };
    started();
    return measurement;
}

double expectedValue(const ktsim::SampleModel& model, const ktsim::Channel& channel, uint64_t index,
                     double controlValue)
{
    if (channel.control)
        return ktsim::hostDecode(channel, ktsim::encodeRaw(channel, controlValue));
    return model.decoded(channel, index);
}

namespace {

// A single value is timed by the packet that carried it, whose time is that
// of the packet's earliest sample: at most the value's own time, and later
// than the previous value's, which went out in an earlier packet. The day
// count of a packet time is exact to about a microsecond.
void expectSingleValueTime(const ktsim::SampleModel& model, const Reading& reading, size_t i, double startDays)
{
    const ktsim::Channel& channel = *reading.model;
    const double seconds =
        reading.kind == ReadKind::Absolute ? (reading.times[i] - startDays) * 86400.0 : reading.times[i];
    constexpr double slack = 1e-5;
    const double latest = model.sampleTime(channel, i);
    const double after = i == 0 ? 0.0 : model.sampleTime(channel, i - 1);
    ASSERT_LE(seconds, latest + slack) << channel.name << " time " << i;
    ASSERT_GT(seconds, after - (i == 0 ? slack : -slack)) << channel.name << " time " << i;
}

} // namespace

void expectExactDelivery(const ktsim::SampleModel& model, const Reading& reading, double startDays)
{
    const ktsim::Channel& channel = *reading.model;
    ASSERT_EQ(reading.values.size(), reading.times.size());
    const bool absolute = reading.kind == ReadKind::Absolute;
    for (size_t i = 0; i < reading.values.size(); ++i) {
        const double value = expectedValue(model, channel, i, channel.wave.value);
        ASSERT_EQ(reading.values[i], value) << channel.name << " sample " << i << " of " << reading.values.size();
        switch (channel.kind) {
        case ktsim::ChannelKind::Async: {
            const double sent = model.timestamp(channel, i);
            if (absolute)
                ASSERT_TRUE(nearlyEqual(reading.times[i], sent / 86400.0)) << channel.name << " time " << i;
            else
                ASSERT_EQ(reading.times[i], sent) << channel.name << " time " << i;
            break;
        }
        case ktsim::ChannelKind::SingleValue: expectSingleValueTime(model, reading, i, startDays); break;
        case ktsim::ChannelKind::Sync: {
            const double relative = model.hostTime(channel, i);
            const double time = absolute ? relative / 86400.0 + startDays : relative;
            ASSERT_TRUE(nearlyEqual(reading.times[i], time))
                << channel.name << " time " << i << ": " << reading.times[i] << " instead of " << time;
            break;
        }
        }
    }
}

std::vector<uint64_t> expectModelSamples(const ktsim::SampleModel& model, const Reading& reading, double startDays)
{
    const ktsim::Channel& channel = *reading.model;
    EXPECT_EQ(reading.values.size(), reading.times.size());
    const bool absolute = reading.kind == ReadKind::Absolute;
    const double rate = model.rate(channel);
    std::vector<uint64_t> indexes;
    for (size_t i = 0; i < reading.values.size() && i < reading.times.size(); ++i) {
        // The place in the stream that the time names.
        uint64_t index = 0;
        if (channel.kind == ktsim::ChannelKind::Async) {
            const double sent = absolute ? reading.times[i] * 86400.0 : reading.times[i];
            // Timestamp k lies in [k / rate, (k + 0.5) / rate).
            const auto guess = static_cast<uint64_t>(std::max(0.0, std::floor(sent * rate)));
            index = guess;
            for (uint64_t at = guess == 0 ? 0 : guess - 1; at <= guess + 1; ++at)
                if (std::fabs(model.timestamp(channel, at) - sent) < 0.25 / rate)
                    index = at;
            const double expected = model.timestamp(channel, index);
            if (absolute)
                EXPECT_TRUE(nearlyEqual(reading.times[i], expected / 86400.0)) << channel.name << " time " << i;
            else
                EXPECT_EQ(reading.times[i], expected) << channel.name << " time " << i;
        } else {
            const double seconds = absolute ? (reading.times[i] - startDays) * 86400.0 : reading.times[i];
            const double step = model.hostTime(channel, 1);
            const long long nearest = std::llround(seconds / step);
            index = nearest < 0 ? 0 : static_cast<uint64_t>(nearest);
            const double relative = model.hostTime(channel, index);
            const double expected = absolute ? relative / 86400.0 + startDays : relative;
            EXPECT_TRUE(nearlyEqual(reading.times[i], expected))
                << channel.name << " time " << i << ": " << reading.times[i] << " instead of " << expected;
        }
        EXPECT_EQ(reading.values[i], expectedValue(model, channel, index, channel.wave.value))
            << channel.name << " sample " << i << " (stream index " << index << ")";
        if (!indexes.empty()) {
            EXPECT_GT(index, indexes.back()) << channel.name << " sample " << i << " repeated or out of order";
        }
        indexes.push_back(index);
    }
    return indexes;
}

void measureExactly(::KTXInstance* app, const Ktsim& sim, const ktsim::SampleModel& model)
{
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, model, {"Voltage", "Events"});
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(readings, [&] { return readings.front().values.size() >= 300; }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    readRest(readings, sim, 1);
    for (const Reading& reading : readings) {
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(model, reading, reading.times.empty() ? 0.0 : readings.front().times.at(0));
    }
}

} // namespace ktremote::e2e
