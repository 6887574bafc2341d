// SPDX-License-Identifier: MIT
// Faults of the data stream: whatever ktsim mixes into it, every sample it
// sent intact arrives exactly once, in order, with its time, and no read
// reports an error.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

namespace ktremote::e2e {
namespace {

struct StreamFault {
    const char* name;
    std::vector<std::string> options;
};

void PrintTo(const StreamFault& fault, std::ostream* out) { *out << fault.name; }

class StreamFaultTest : public ::testing::TestWithParam<StreamFault> {};

TEST_P(StreamFaultTest, EverySampleSentIntactArrivesExactlyOnce)
{
    std::vector<std::string> options;
    for (const std::string& faultText : GetParam().options) {
        options.push_back("--fault");
        options.push_back(faultText);
    }
    Ktsim sim(options);
    const ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));

    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, model);
    ASSERT_EQ(readings.size(), count);
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK) << sim.log();

    // Enough packets for every kind of malformed one to have come several
    // times (ktsim sends 200 packets a second).
    Reading& voltage = readings.front();
    ASSERT_TRUE(readUntil(readings, [&] { return voltage.values.size() >= 1500; })) << sim.log();
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    readRest(readings, sim, 1);

    const double start = voltage.times.at(0);
    for (const Reading& reading : readings) {
        SCOPED_TRACE(reading.model->name);
        EXPECT_EQ(reading.lastResult, KX_OK);
        EXPECT_FALSE(reading.overrun);
        expectExactDelivery(model, reading, start);
    }
    ktconDisconnect(app);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StreamFaultTest,
    ::testing::Values(StreamFault{"PacketsInSmallSegments", {"split-packets=1"}},
                      StreamFault{"SeveralPacketsPerWrite", {"coalesce=4"}},
                      StreamFault{"GarbageBetweenPackets", {"garbage=40"}},
                      StreamFault{"BodyShorterThanHeader", {"short-body=3"}},
                      StreamFault{"BlockRunsPastBody", {"block-past-body=3"}},
                      StreamFault{"NegativeCount", {"negative-count=3"}}, StreamFault{"HugeCount", {"huge-count=3"}},
                      StreamFault{"SecondDataConnection", {"second-data-connection"}},
                      // The walk of a malformed packet runs on into the garbage and the
                      // next packet, which must still be cut out on its own.
                      StreamFault{"BlockPastBodyThenGarbage", {"block-past-body=3", "garbage"}},
                      StreamFault{"AllAtOnce",
                                  {"split-packets=1", "coalesce=3", "garbage", "short-body=5", "block-past-body=7",
                                   "negative-count=4", "huge-count=6", "split-replies=1"}}),
    [](const ::testing::TestParamInfo<StreamFault>& info) { return std::string(info.param.name); });

} // namespace
} // namespace ktremote::e2e
