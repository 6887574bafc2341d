// SPDX-License-Identifier: MIT
// The host's calls out of the usual order, and the application going away
// in the middle of a measurement and coming back.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"
#include "api/LastFailure.h"

#include <gtest/gtest.h>

#include <memory>

namespace ktremote::e2e {
namespace {

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
    EXPECT_EQ(lastFailureText(app), "the command connection is closed");
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

void measureExactly(::KTXInstance* app, Ktsim& sim) { ktremote::e2e::measureExactly(app, sim, defaultModel()); }

// The application crashes mid-measurement and is restarted on the same
// command port; the host keeps its data port. The lost instance's stop
// fails but frees the data port, so a new instance measures on it; after
// Disconnect the lost instance itself connects again and measures too.
TEST(LifecycleFault, ApplicationKilledAndRestartedOnTheSamePorts)
{
    const uint16_t dataPort = freePort();
    auto sim = std::make_unique<Ktsim>();
    const uint16_t commandPort = sim->port();
    const std::string text = sim->connectText(dataPort);
    ::KTXInstance* lost = connectFast(text);
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(lost, &count), KX_OK);
    std::vector<Reading> before = openReadings(lost, defaultModel(), {"Voltage", "Events"});
    ASSERT_EQ(ktconSetBufferSize(lost, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(lost), KX_OK);
    ASSERT_TRUE(readUntil(before, [&] { return enough(before); }));

    sim->kill();
    sim.reset();
    EXPECT_EQ(ktconStopMeasurement(lost), KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(lost), "the command connection is closed");
    for (Reading& reading : before)
        reading.readAll();
    for (const Reading& reading : before)
        expectExactDelivery(defaultModel(), reading, before.front().times.at(0));

    Ktsim restarted({"--port", std::to_string(commandPort)});
    ASSERT_EQ(restarted.port(), commandPort);
    {
        SCOPED_TRACE("a new instance");
        ::KTXInstance* fresh = connectFast(text);
        measureExactly(fresh, restarted);
        EXPECT_EQ(ktconDisconnect(fresh), KX_OK);
    }
    {
        SCOPED_TRACE("the same instance");
        EXPECT_EQ(ktconDisconnect(lost), KX_OK);
        ASSERT_EQ(ktconConnect(lost, text.c_str()), KX_OK);
        measureExactly(lost, restarted);
        EXPECT_EQ(ktconDisconnect(lost), KX_OK);
    }
}

// The host that only disconnects after the crash, without a stop: the data
// port is free for a new instance all the same.
TEST(LifecycleFault, DisconnectAloneFreesTheDataPortOfALostMeasurement)
{
    const uint16_t dataPort = freePort();
    auto sim = std::make_unique<Ktsim>();
    const uint16_t commandPort = sim->port();
    const std::string text = sim->connectText(dataPort);
    ::KTXInstance* lost = connectFast(text);
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(lost, &count), KX_OK);
    std::vector<Reading> before = openReadings(lost, defaultModel(), {"Voltage"});
    ASSERT_EQ(ktconStartMeasurement(lost), KX_OK);
    ASSERT_TRUE(readUntil(before, [&] { return enough(before); }));
    sim->kill();
    sim.reset();
    EXPECT_EQ(ktconDisconnect(lost), KX_OK);

    Ktsim restarted({"--port", std::to_string(commandPort)});
    ::KTXInstance* fresh = connectFast(text);
    measureExactly(fresh, restarted);
    EXPECT_EQ(ktconDisconnect(fresh), KX_OK);
}

// A data port word of many leading zeros names the same port: the start
// goes through and the values arrive.
TEST(LifecycleFault, ADataPortWithLeadingZerosWorks)
{
    Ktsim sim;
    const std::string text =
        "127.0.0.1 " + std::to_string(sim.port()) + " " + std::string(10000, '0') + std::to_string(freePort());
    ::KTXInstance* app = connectFast(text);
    measureExactly(app, sim);
    EXPECT_EQ(ktconDisconnect(app), KX_OK);
}

} // namespace
} // namespace ktremote::e2e
