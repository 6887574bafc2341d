// SPDX-License-Identifier: MIT
// Sample times against ktsim, through the exported functions: a host that
// loses samples still gets each of the others at its place in the stream,
// single values carry the times of their packets, and channels slower than
// half a hertz are timed by their exact rate. ktsim streams in burst mode, as
// fast as the library takes the data, so that these take no real time.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace ktremote::e2e {
namespace {

// A connected instance whose channel list has been fetched, so that
// channels can be opened by name.
::KTXInstance* connectAndList(const Ktsim& sim)
{
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    EXPECT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    return app;
}

Reading& find(std::vector<Reading>& readings, const std::string& name)
{
    for (Reading& reading : readings)
        if (reading.model->name == name)
            return reading;
    throw std::out_of_range(name);
}

// Reads too slowly into buffers of 16 samples while ktsim streams as fast as
// it can: samples are dropped, and every one the host does get has the value
// and the time of the same sample of the model.
TEST(TimeTest, ASlowHostGetsEverySampleItKeepsAtItsPlaceInTheStream)
{
    Ktsim sim({"--burst"});
    const ktsim::SampleModel model(ktsim::loadSetup("builtin:default"), Ktsim::seed);
    ::KTXInstance* app = connectAndList(sim);
    std::vector<Reading> readings =
        openReadings(app, model, {"Voltage", "Position", "Ticks", "Speed", "Temperature", "Events"});
    find(readings, "Voltage").kind = ReadKind::Absolute;
    find(readings, "Ticks").kind = ReadKind::Absolute;
    find(readings, "Position").kind = ReadKind::Allocating;
    find(readings, "Events").kind = ReadKind::Absolute;
    // Current is not checked: its newest sample time tells how far the
    // stream has come.
    Reading clock = std::move(openReadings(app, model, {"Current"}).front());
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_EQ(ktconSetBufferSize(app, 16), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);

    // A round reads every channel once the stream has moved on by five
    // seconds of its own time since the last round: 25 samples of Events,
    // the slowest channel, and more of every other, where a buffer keeps 16.
    // So each round follows a loss on every channel, however fast or slowly
    // this machine runs the two programs.
    // The newest time seen stays when a read finds nothing new, which is
    // the rule right after a round.
    double newestTime = -1.0;
    const auto streamSeconds = [&] {
        clock.clear();
        clock.readAll();
        if (!clock.times.empty())
            newestTime = clock.times.back();
        return newestTime;
    };
    const auto enough = [&] {
        return find(readings, "Ticks").values.size() >= 200 && find(readings, "Events").values.size() >= 200;
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    double lastRound = -10.0;
    while (!enough()) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "the stream stalled";
        const double now = streamSeconds();
        if (now < lastRound + 5.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        for (Reading& reading : readings)
            reading.readAll();
        // Everything just read lies before this.
        lastRound = streamSeconds();
    }
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);

    // Ticks counts up by one per sample from 1000000, so its values name
    // their places in the stream; with its absolute times they give the
    // start of the measurement.
    const Reading& ticks = find(readings, "Ticks");
    ASSERT_FALSE(ticks.values.empty());
    const auto firstTick = static_cast<uint64_t>(ticks.values[0] - 1000000.0);
    const double startDays = ticks.times[0] - model.hostTime(*ticks.model, firstTick) / 86400.0;
    EXPECT_LT(std::fabs(startDays - daysNow()), 600.0 / 86400.0) << "absolute times are days of the clock";

    for (const Reading& reading : readings) {
        SCOPED_TRACE(reading.model->name);
        const std::vector<uint64_t> places = expectModelSamples(model, reading, startDays);
        ASSERT_FALSE(places.empty());
        size_t gaps = 0;
        for (size_t i = 1; i < places.size(); ++i)
            gaps += places[i] != places[i - 1] + 1 ? 1 : 0;
        EXPECT_GT(gaps, 0u) << "nothing was lost, so this proves nothing";
        if (reading.kind != ReadKind::Allocating) {
            EXPECT_TRUE(reading.overrun);
        }
    }
}

// Transferred alone, each single value is the earliest sample of its packet,
// so the packet's time is the value's own time in the model.
TEST(TimeTest, SingleValuesCarryTheTimesOfTheirPackets)
{
    Ktsim sim({"--burst"});
    const ktsim::SampleModel model(ktsim::loadSetup("builtin:default"), Ktsim::seed);
    ::KTXInstance* app = connectAndList(sim);
    std::vector<Reading> readings = openReadings(app, model, {"Mode", "Setpoint"});
    Reading& mode = find(readings, "Mode");
    Reading& setpoint = find(readings, "Setpoint");
    mode.kind = ReadKind::Absolute;
    setpoint.kind = ReadKind::Relative;
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(readings, [&] { return setpoint.values.size() >= 20 && mode.values.size() >= 40; }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);

    // Value 0 of both came in the first packet, whose time is the start.
    const double startDays = mode.times.at(0);
    EXPECT_LT(std::fabs(startDays - daysNow()), 600.0 / 86400.0);
    for (const Reading* reading : {&mode, &setpoint}) {
        const ktsim::Channel& channel = *reading->model;
        for (size_t i = 0; i < reading->values.size(); ++i) {
            ASSERT_EQ(reading->values[i], expectedValue(model, channel, i, channel.wave.value)) << channel.name;
            // Rounded to a double as it went into the packet, also on x87.
            volatile double days = ktsim::SampleModel::packetDays(startDays, model.sampleTime(channel, i));
            const double expected = reading->kind == ReadKind::Absolute ? days : (days - startDays) * 86400.0;
            ASSERT_DOUBLE_EQ(reading->times[i], expected) << channel.name << " value " << i;
        }
    }
}

// 0.2 Hz and 0.4 Hz would round to 0 Hz: their samples are timed by the
// exact rate, every 5 and 2.5 seconds. Packets of half a second each.
TEST(TimeTest, ChannelsSlowerThanHalfAHertzAreTimedByTheirExactRate)
{
    TempDir dir;
    const std::string setup = dir.file("slow.kts");
    std::ofstream(setup) << "setup slow\n"
                            "rate 1000\n"
                            "channel number=1 name=Slow unit=V path=1;1 kind=sync divider=5000 type=int32 scale1=1"
                            " wave=counter\n"
                            "channel number=2 name=Slower unit=V path=1;2 kind=sync divider=2500 type=float64"
                            " wave=ramp min=0 max=1 period=1000\n"
                            "channel number=3 name=Half unit=V path=1;3 kind=sync divider=2000 type=float64"
                            " wave=counter\n";
    Ktsim sim({"--burst", "--packet-ms", "500", "--setup", setup});
    const ktsim::SampleModel model(ktsim::loadSetup(setup), Ktsim::seed);
    ::KTXInstance* app = connectAndList(sim);
    std::vector<Reading> readings = openReadings(app, model, {"Slow", "Slower", "Half"});
    readings[1].kind = ReadKind::Absolute;
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(readings, [&] { return readings[0].values.size() >= 50; }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);

    const double startDays = readings[1].times.at(0);
    for (const Reading& reading : readings) {
        SCOPED_TRACE(reading.model->name);
        expectExactDelivery(model, reading, startDays);
    }
    EXPECT_NEAR(readings[0].times.at(49), 245.0, 1e-9);
    EXPECT_NEAR((readings[1].times.at(49) - startDays) * 86400.0, 122.5, 1e-5);
    EXPECT_EQ(readings[2].times.at(49), 49.0) << "0.5 Hz rounds to 1 Hz";
}

} // namespace
} // namespace ktremote::e2e
