// SPDX-License-Identifier: MIT
// The exact command lines that starting and stopping a measurement put on
// the wire, as ktsim logged them.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

namespace ktremote::e2e {
namespace {

using Lines = std::vector<std::string>;

// The lines ktsim received from `from` on.
Lines since(const Ktsim& sim, size_t from)
{
    const Lines all = sim.receivedLines();
    return from < all.size() ? Lines(all.begin() + static_cast<std::ptrdiff_t>(from), all.end()) : Lines{};
}

Lines operator+(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(WireTest, StartAndStopSendTheirCommandsInOrder)
{
    Ktsim sim;
    const ktsim::SampleModel model(ktsim::loadSetup("builtin:default"), Ktsim::seed);
    const uint16_t dataPort = freePort();
    ::KTXInstance* app = connectFast(sim.connectText(dataPort));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    // Opened out of list order: the transfer block lists them in list order.
    std::vector<Reading> readings = openReadings(app, model, {"Mode", "Temperature", "Voltage"});

    // Numbers 1, 11 and 13; one synchronous channel asks for its rate.
    const Lines transfer = {"GETTIMING",
                            "/STX PREPARETRANSFER",
                            "CH 1",
                            "CH 11",
                            "CH 13",
                            "/ETX",
                            "SETTIMEOUT 0",
                            "GETSAMPLERATE",
                            "STARTTRANSFER " + std::to_string(dataPort),
                            "STARTACQ"};
    const Lines stop = {"STOPTRANSFER", "STOP", "ENTERSETUP"};

    size_t mark = sim.receivedLines().size();
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    EXPECT_EQ(since(sim, mark), Lines{"ISMEASURING"} + transfer);

    // Started again while the application acquires: the running measurement
    // is stopped first, and the new one listens on the same data port.
    mark = sim.receivedLines().size();
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    EXPECT_EQ(since(sim, mark), Lines{"ISMEASURING"} + stop + transfer);
    ASSERT_TRUE(readUntil(readings, [&] { return readings[2].values.size() >= 100; }));
    expectExactDelivery(model, readings[2], 0.0);

    mark = sim.receivedLines().size();
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    EXPECT_EQ(since(sim, mark), stop);

    // A channel unmarked after the stop is left out of the next start.
    ASSERT_EQ(ktconChannelSetTransferred(readings[1].handle, false), KX_OK);
    mark = sim.receivedLines().size();
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    const Lines narrower = {"ISMEASURING", "GETTIMING", "/STX PREPARETRANSFER", "CH 1", "CH 13", "/ETX"};
    const Lines sent = since(sim, mark);
    ASSERT_GE(sent.size(), narrower.size());
    EXPECT_EQ(Lines(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(narrower.size())), narrower);
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
}

} // namespace
} // namespace ktremote::e2e
