// SPDX-License-Identifier: MIT
// The application's state machine as the host sees it through the exported
// functions: state queries, loading setups, storing, and control values.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"
#include "api/LastFailure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace ktremote::e2e {
namespace {

class ApplicationTest : public ::testing::Test {
protected:
    Ktsim sim;
    ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));

    int state()
    {
        int value = -1;
        EXPECT_EQ(ktconGetState(app, &value), KX_OK);
        return value;
    }

    bool acquiring()
    {
        bool value = false;
        EXPECT_EQ(ktconIsInAqusition(app, &value), KX_OK);
        return value;
    }

    bool received(const std::string& prefix)
    {
        const auto lines = sim.receivedLines();
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; });
    }

    bool receivedLine(const std::string& text)
    {
        const auto lines = sim.receivedLines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }

    size_t filesStored()
    {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(sim.dir().path()))
            count += entry.path().extension() == ".csv" ? 1 : 0;
        return count;
    }
};

TEST_F(ApplicationTest, StatesFollowStartAndStop)
{
    EXPECT_EQ(state(), KX_STATE_SETUP);
    EXPECT_FALSE(acquiring());
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    openChannel(app, "Voltage");

    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    EXPECT_EQ(state(), KX_STATE_ACQUIRING);
    EXPECT_TRUE(acquiring());
    int afterStopStoring = -1;
    EXPECT_EQ(ktconStopStoringEx(app, &afterStopStoring), KX_ERR_STOP_STORING) << "nothing is being stored";
    EXPECT_EQ(afterStopStoring, KX_STATE_ACQUIRING);

    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    // The stop ends in the setup state.
    EXPECT_EQ(state(), KX_STATE_SETUP);
    EXPECT_FALSE(acquiring());
    EXPECT_EQ(ktconBeginRead(app, 0, 0), KX_OK);
    EXPECT_EQ(ktconEndRead(app), KX_OK);
}

TEST_F(ApplicationTest, SetupsLoadOnlyWhenTheApplicationConfirms)
{
    const std::string file = sim.dir().file("two.kts");
    std::ofstream(file) << "setup two\nrate 100\n"
                           "channel number=1 name=A unit=V kind=sync type=float64\n"
                           "channel number=2 name=B unit=V kind=async type=float64\n";
    EXPECT_EQ(ktconLoadSetup(app, file.c_str()), KX_OK);
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    EXPECT_EQ(count, 2u);

    EXPECT_EQ(ktconLoadSetup(app, sim.dir().file("missing.kts").c_str()), KX_ERR_SETUP_NOT_LOADED);
    EXPECT_EQ(lastFailureText(app), "the application did not confirm that it loaded the setup");
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    EXPECT_EQ(count, 2u) << "a refused setup changes nothing";

    // A path with a line break would smuggle a command of its own to the
    // application; it is refused before anything is sent.
    EXPECT_EQ(ktconLoadSetup(app, "builtin:default\r\nSTARTACQ"), KX_ERR_SETUP_NOT_LOADED);
    EXPECT_EQ(ktconLoadSetup(app, "builtin:default\nSTARTACQ"), KX_ERR_SETUP_NOT_LOADED);
    EXPECT_EQ(lastFailureText(app), "the setup file name holds a line break");
    EXPECT_FALSE(acquiring());
    EXPECT_FALSE(received("LOADSETUP builtin:default"));

    // Loading is refused while the application acquires.
    openChannel(app, "A");
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    EXPECT_EQ(ktconLoadSetup(app, "builtin:default"), KX_ERR_SETUP_NOT_LOADED);
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    EXPECT_EQ(ktconLoadSetup(app, "builtin:default"), KX_OK);
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    EXPECT_EQ(count, 11u);
}

TEST_F(ApplicationTest, StoringRunsInsideAMeasurement)
{
    EXPECT_EQ(ktconStartStoring(app, "early.csv"), KX_ERR_START_STORING) << "not acquiring yet";
    EXPECT_EQ(lastFailureText(app), "the application refused to start storing");
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    openChannel(app, "Voltage");
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);

    EXPECT_EQ(ktconStartStoring(app, "run1.csv"), KX_OK);
    EXPECT_TRUE(std::filesystem::exists(sim.dir().file("run1.csv")));
    EXPECT_EQ(ktconStartStoring(app, "again.csv"), KX_ERR_START_STORING) << "already storing";
    int after = -1;
    EXPECT_EQ(ktconStopStoringEx(app, &after), KX_OK);
    EXPECT_EQ(after, KX_STATE_ACQUIRING);
    EXPECT_EQ(ktconStopStoring(app), KX_ERR_STOP_STORING) << "no longer storing";
    EXPECT_EQ(lastFailureText(app), "the application refused to stop storing");

    // Names that cannot go into a command line are refused unsent.
    EXPECT_EQ(ktconStartStoring(app, "a|b.csv"), KX_ERR_START_STORING);
    EXPECT_EQ(ktconStartStoring(app, "c.csv\r\nSTOP"), KX_ERR_START_STORING);
    EXPECT_EQ(lastFailureText(app), "the storing file name holds a '|' or a line break");
    EXPECT_TRUE(acquiring());
    EXPECT_FALSE(received("STARTSTORE a|b"));
    EXPECT_FALSE(received("STARTSTORE c.csv"));

    // Without a name the application chooses one.
    EXPECT_EQ(ktconStartStoring(app, ""), KX_OK);
    EXPECT_TRUE(receivedLine("STARTSTORE"));
    EXPECT_EQ(ktconStopStoring(app), KX_OK);
    EXPECT_EQ(filesStored(), 2u);
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
}

TEST_F(ApplicationTest, AWrittenControlValueComesBackInTheStream)
{
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, model, {"Setpoint", "Gain"});
    ASSERT_EQ(ktconSetBufferSize(app, 100000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    Reading& setpoint = readings[0];
    Reading& gain = readings[1];
    ASSERT_TRUE(readUntil(readings, [&] { return !setpoint.values.empty() && !gain.values.empty(); }));

    ASSERT_EQ(ktconControlChannelWriteData(setpoint.handle, 2.5), KX_OK);
    ASSERT_EQ(ktconControlChannelWriteData(gain.handle, 0.75), KX_OK);
    const auto arrived = [](const Reading& reading, double value) {
        return std::find(reading.values.begin(), reading.values.end(), value) != reading.values.end();
    };
    ASSERT_TRUE(readUntil(readings, [&] { return arrived(setpoint, 2.5) && arrived(gain, 0.75); }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);

    // The old value until the write took effect, the new one from then on.
    for (const Reading* reading : {&setpoint, &gain}) {
        const double before = reading->model->wave.value;
        const double after = reading == &setpoint ? 2.5 : 0.75;
        const auto change = std::find(reading->values.begin(), reading->values.end(), after);
        EXPECT_TRUE(std::all_of(reading->values.begin(), change, [&](double v) { return v == before; }));
        EXPECT_TRUE(std::all_of(change, reading->values.end(), [&](double v) { return v == after; }));
    }
}

} // namespace
} // namespace ktremote::e2e
