// SPDX-License-Identifier: MIT
// ktcli stream recording to HDF5 against ktsim: the file read back with
// h5py holds exactly what ktsim sent, also after ktcli was killed.

#include "Ktsim.h"
#include "RecordingText.h"
#include "Recordings.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <thread>

namespace ktremote::e2e {
namespace {

class KtcliHdf5Test : public ::testing::Test {
protected:
    Ktsim sim;
    ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};

    void SetUp() override
    {
        if (!KTCLI_HAVE_HDF5)
            GTEST_SKIP() << "ktcli was built without HDF5";
    }

    std::vector<std::string> connection() const
    {
        return {"--host", "127.0.0.1", "--port", std::to_string(sim.port()), "--data-port", std::to_string(freePort())};
    }

    // Checks a recorded channel against the model: its attributes and every
    // value and time ktsim sent, from sample 0 on.
    void expectChannel(const ReadRecording& file, const std::string& name, size_t atLeast)
    {
        SCOPED_TRACE(name);
        const ReadGroup* group = file.channel(name);
        ASSERT_NE(group, nullptr);
        const ktsim::Channel& channel = model.channel(name);
        std::string id = "0," + channel.path;
        std::replace(id.begin(), id.end(), ';', ',');
        EXPECT_EQ(group->text("id"), id);
        EXPECT_EQ(group->text("unit"), channel.unit);
        const char* type = channel.kind == ktsim::ChannelKind::Sync ? "sync"
            : channel.kind == ktsim::ChannelKind::Async             ? "async"
                                                                    : "single";
        EXPECT_EQ(group->text("type"), type);
        if (channel.kind != ktsim::ChannelKind::SingleValue) {
            EXPECT_EQ(group->attributes.at("sample_rate").number(), model.rate(channel));
        }
        Reading reading;
        reading.model = &channel;
        reading.values = group->datasets.at("values").data;
        reading.times = group->datasets.at("time").data;
        EXPECT_GE(reading.values.size(), atLeast);
        expectExactDelivery(model, reading, 0.0);
    }
};

TEST_F(KtcliHdf5Test, StreamRecordsExactlyWhatKtsimSent)
{
    const std::string path = sim.dir().file("run.h5");
    std::vector<std::string> arguments = {"stream",        "Voltage", "Temperature", "0,3,1", "--duration", "1",
                                          "--buffer-size", "100000",  "--output",    path,    "--quiet"};
    const std::vector<std::string> options = connection();
    arguments.insert(arguments.end(), options.begin(), options.end());
    const double before = daysNow();
    const RunResult run = runToEnd(KTCLI_EXECUTABLE, arguments, ktcliLimit);
    const double after = daysNow();
    ASSERT_EQ(run.status, 0) << run.err;

    const ReadRecording file = readRecording(path, sim.dir().path());
    ASSERT_EQ(file.error, "");
    char version[64] = {};
    ASSERT_EQ(ktconGetVersion(version, sizeof version), KX_OK);
    EXPECT_EQ(file.attributes.at("library_version").text, version);
    const std::string commandLine = file.attributes.at("command_line").text;
    EXPECT_NE(commandLine.find("stream Voltage Temperature 0,3,1"), std::string::npos) << commandLine;
    EXPECT_NE(commandLine.find(path), std::string::npos) << commandLine;
    const double start = file.attributes.at("start_time").number();
    EXPECT_GE(start, before - 1.0 / 86400.0);
    EXPECT_LE(start, after + 1.0 / 86400.0);
    EXPECT_EQ(file.attributes.at("start_time_utc").text, ktcli::isoTimeFromDays(start));

    EXPECT_EQ(file.groups.size(), 3u);
    expectChannel(file, "Voltage", 800);
    expectChannel(file, "Temperature", 10);
    expectChannel(file, "Mode", 1);
}

TEST_F(KtcliHdf5Test, FormatOptionSelectsCompressedHdf5)
{
    const std::string path = sim.dir().file("run.data");
    std::vector<std::string> arguments = {"stream", "Current",    "--duration", "1",  "--format",
                                          "hdf5",   "--compress", "--output",   path, "--quiet"};
    const std::vector<std::string> options = connection();
    arguments.insert(arguments.end(), options.begin(), options.end());
    const RunResult run = runToEnd(KTCLI_EXECUTABLE, arguments, ktcliLimit);
    ASSERT_EQ(run.status, 0) << run.err;

    const ReadRecording file = readRecording(path, sim.dir().path());
    ASSERT_EQ(file.error, "");
    ASSERT_EQ(file.groups.size(), 1u);
    for (const char* name : {"values", "time"}) {
        EXPECT_EQ(file.groups[0].datasets.at(name).compression, "gzip") << name;
        EXPECT_EQ(file.groups[0].datasets.at(name).level, "4") << name;
    }
    expectChannel(file, "Current", 400);
}

TEST_F(KtcliHdf5Test, KilledKtcliLeavesTheFileOfItsLastFlush)
{
    const std::string path = sim.dir().file("run.h5");
    const std::string progress = sim.dir().file("ktcli.err");
    std::vector<std::string> arguments = {"stream", "Voltage", "Temperature", "--duration", "60", "--output", path};
    const std::vector<std::string> options = connection();
    arguments.insert(arguments.end(), options.begin(), options.end());
    ChildProcess ktcli(KTCLI_EXECUTABLE, arguments, progress);

    // The progress line comes every half second: after five of them the
    // recorder has flushed at least once a second since its start.
    const auto limit = std::chrono::steady_clock::now() + ktcliLimit;
    auto progressLines = [&] {
        const std::string text = readFile(progress);
        return std::count(text.begin(), text.end(), '\n');
    };
    while (progressLines() < 5 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // paces the polling only
    ASSERT_GE(progressLines(), 5) << readFile(progress);
    ASSERT_EQ(::kill(ktcli.pid(), SIGKILL), 0);
    EXPECT_EQ(ktcli.wait(std::chrono::seconds(30)), 128 + SIGKILL);

    const ReadRecording file = readRecording(path, sim.dir().path());
    ASSERT_EQ(file.error, "");
    EXPECT_EQ(file.groups.size(), 2u);
    expectChannel(file, "Voltage", 1000);
    expectChannel(file, "Temperature", 1);
}

} // namespace
} // namespace ktremote::e2e
