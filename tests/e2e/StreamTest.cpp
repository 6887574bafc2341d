// SPDX-License-Identifier: MIT
// A measurement from start to stop against ktsim, through the exported
// functions: every sample of every channel kind arrives exactly once, in
// order, with its time; an overflowing buffer is reported.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ktremote::e2e {
namespace {

class StreamTest : public ::testing::Test {
protected:
    Ktsim sim;
    ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    uint16_t dataPort = freePort();
    ::KTXInstance* app = connectFast(sim.connectText(dataPort));

    Reading& find(std::vector<Reading>& readings, const std::string& name)
    {
        for (Reading& reading : readings)
            if (reading.model->name == name)
                return reading;
        throw std::out_of_range(name);
    }
};

TEST_F(StreamTest, EverySampleOfEveryChannelKindArrivesOnceInOrderAcrossStopAndRestart)
{
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, model);
    ASSERT_EQ(readings.size(), count);
    // Each of the three reads on some channel; the rest read relative times.
    find(readings, "Voltage").kind = ReadKind::Absolute;
    find(readings, "Temperature").kind = ReadKind::Absolute;
    find(readings, "Current").kind = ReadKind::Allocating;
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first measurement" : "second measurement on the same data port");
        for (Reading& reading : readings)
            reading.clear();
        find(readings, "Ticks").paused = true;
        ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
        bool acquiring = false;
        ASSERT_EQ(ktconIsInAqusition(app, &acquiring), KX_OK);
        ASSERT_TRUE(acquiring);

        // Long enough for a few samples of the slowest channels (async at
        // 5 Hz, single values at 1 Hz).
        Reading& voltage = find(readings, "Voltage");
        const auto enough = [&] {
            return voltage.values.size() >= 1500 && find(readings, "Events").values.size() >= 3 &&
                find(readings, "Setpoint").values.size() >= 2;
        };
        ASSERT_TRUE(readUntil(readings, enough));
        for (const Reading& reading : readings)
            expectExactDelivery(model, reading, voltage.times.at(0));

        ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
        // Ticks was not read during the measurement: what it measured stays
        // readable after the stop.
        Reading& ticks = find(readings, "Ticks");
        ticks.paused = false;
        EXPECT_GE(ticks.readAll(), 10u);
        readRest(readings, sim, run + 1);

        // Sample 0 is at the start of the measurement, which the first packet
        // gave in days since 1899-12-30.
        const double start = voltage.times.at(0);
        EXPECT_LT(std::fabs(start - daysNow()), 60.0 / 86400.0);
        for (const Reading& reading : readings) {
            SCOPED_TRACE(reading.model->name);
            EXPECT_FALSE(reading.overrun);
            EXPECT_EQ(reading.lastResult, KX_OK);
            EXPECT_FALSE(reading.values.empty());
            expectExactDelivery(model, reading, start);
            // ktsim's last packet holds every synchronous sample due when it
            // stopped, so the counts agree exactly with the dividers.
            if (reading.model->kind == ktsim::ChannelKind::Sync) {
                EXPECT_EQ(reading.values.size(), voltage.values.size() / reading.model->divider);
            }
        }
    }
}

TEST_F(StreamTest, ReadingTooSlowlyDropsTheOldestSamplesAndSaysSo)
{
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    // The fastest of the two overflows first and sets the flag.
    std::vector<Reading> readings = openReadings(app, model, {"Position", "Ticks"});
    ASSERT_EQ(ktconSetBufferSize(app, 20), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);

    // Reading nothing leaves the buffers to fill up; a read of no values
    // still reports the overflow.
    double value = 0.0;
    double time = 0.0;
    size_t none = 0;
    int result = KX_OK;
    std::vector<Reading> nothing;
    ASSERT_TRUE(readUntil(nothing, [&] {
        none = 0;
        result = ktconChannelReadScalarData_2(readings[0].handle, &value, &time, &none);
        return result != KX_OK;
    }));
    EXPECT_EQ(result, KX_ERR_DATA_OVERRUN);

    // What is left is the newest 20 samples, without gaps: the run of
    // Position's counter starts after sample 0.
    for (Reading& reading : readings) {
        SCOPED_TRACE(reading.model->name);
        reading.readAll();
        EXPECT_EQ(reading.lastResult, KX_ERR_DATA_OVERRUN);
        ASSERT_GE(reading.values.size(), 1u);
        ASSERT_LE(reading.values.size(), 20u);
    }
    const Reading& position = readings[0];
    ASSERT_EQ(position.values.size(), 20u) << "a full buffer holds the newest samples";
    uint64_t first = 1;
    while (first < 1000 && expectedValue(model, *position.model, first, 0) != position.values[0])
        ++first;
    ASSERT_LT(first, 1000u) << "the oldest sample left is no sample ktsim sent";
    for (size_t k = 0; k < position.values.size(); ++k)
        EXPECT_EQ(position.values[k], expectedValue(model, *position.model, first + k, 0)) << k;

    // The overflow stays reported for the rest of the measurement.
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    none = 0;
    EXPECT_EQ(ktconChannelReadScalarData_2(readings[1].handle, &value, &time, &none), KX_ERR_DATA_OVERRUN);
}

TEST_F(StreamTest, ReadsBeforeTheFirstStartDeliverNothing)
{
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, model, {"Voltage"});
    ::ChannelInstance* voltage = readings[0].handle;
    double values[4] = {7, 7, 7, 7};
    double times[4] = {7, 7, 7, 7};
    size_t n = 4;
    EXPECT_EQ(ktconChannelReadScalarData_2(voltage, values, times, &n), KX_OK);
    EXPECT_EQ(n, 0u);
    n = 4;
    EXPECT_EQ(ktconChannelReadScalarData_2abs(voltage, values, times, &n), KX_OK);
    EXPECT_EQ(n, 0u);
    n = 4;
    double* allocated = nullptr;
    double* allocatedTimes = nullptr;
    EXPECT_EQ(ktconChannelReadScalarData(voltage, &allocated, &allocatedTimes, &n), KX_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(allocated, nullptr);
    EXPECT_EQ(values[0], 7);
    EXPECT_EQ(times[3], 7);
}

} // namespace
} // namespace ktremote::e2e
