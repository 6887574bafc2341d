// The host's calls out of the usual order, and the application going away
// in the middle of a measurement and coming back.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <memory>

namespace ktremote::e2e {
namespace {

const ktsim::SampleModel& defaultModel()
{
    static const ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    return model;
}

bool enough(const std::vector<Reading>& readings) { return readings.front().values.size() >= 300; }

TEST(LifecycleFault, StopTwiceKeepsTheBufferedSamples)
{
    Ktsim sim;
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, defaultModel(), {"Voltage", "Events"});
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(readings, [&] { return enough(readings); }));

    EXPECT_EQ(ktconStopMeasurement(app), KX_OK);
    EXPECT_EQ(ktconStopMeasurement(app), KX_OK);
    readRest(readings, sim, 1);
    for (const Reading& reading : readings) {
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(defaultModel(), reading, readings.front().times.at(0));
    }
    int state = 0;
    EXPECT_EQ(ktconGetState(app, &state), KX_OK);
    EXPECT_EQ(state, KX_STATE_SETUP);
    ktconDisconnect(app);
}

// A second start stops the running measurement first; the new one starts
// from its own first sample, and nothing of the old one is mixed in.
TEST(LifecycleFault, StartAgainWithoutStopStartsAFreshMeasurement)
{
    Ktsim sim;
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, defaultModel(), {"Voltage", "Events"});
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(readings, [&] { return enough(readings); }));

    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    for (Reading& reading : readings)
        reading.clear();
    ASSERT_TRUE(readUntil(readings, [&] { return enough(readings); }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    readRest(readings, sim, 2);
    for (const Reading& reading : readings) {
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(defaultModel(), reading, readings.front().times.at(0));
    }
    ktconDisconnect(app);
}

// The application ends in the middle of a measurement (its data connection
// breaks off wherever it was in a packet): the samples of whole packets stay
// readable and exact, commands fail at once, and a new Connect to the
// restarted application works as the first one did.
TEST(LifecycleFault, ApplicationEndsMidMeasurementAndTheHostReconnects)
{
    auto sim = std::make_unique<Ktsim>(std::vector<std::string>{"--fault", "split-packets=1"});
    ::KTXInstance* app = connectFast(sim->connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, defaultModel(), {"Voltage", "Events"});
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(readings, [&] { return enough(readings); }));

    sim.reset();
    for (Reading& reading : readings)
        reading.readAll();
    for (const Reading& reading : readings) {
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(defaultModel(), reading, readings.front().times.at(0));
    }
    int state = 0;
    EXPECT_EQ(ktconGetState(app, &state), KX_ERR_FAILED);
    EXPECT_EQ(ktconStopMeasurement(app), KX_ERR_FAILED);

    Ktsim restarted;
    const uint16_t dataPort = freePort();
    ASSERT_EQ(ktconConnect(app, restarted.connectText(dataPort).c_str()), KX_OK);
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> again = openReadings(app, defaultModel(), {"Voltage", "Events"});
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    ASSERT_TRUE(readUntil(again, [&] { return enough(again); }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    readRest(again, restarted, 1);
    for (const Reading& reading : again) {
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(defaultModel(), reading, again.front().times.at(0));
    }
    ktconDisconnect(app);
}

} // namespace
} // namespace ktremote::e2e
