// SPDX-License-Identifier: MIT
// ktcli stream against faults that need a private namespace: a link that
// dies without a close (loopback taken down in a private network
// namespace) and a full disk (a small tmpfs in a private mount namespace).
// Root only; elsewhere the tests are skipped and say why.

#include "Ktsim.h"
#include "Recorder.h"
#include "Recordings.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <signal.h>

namespace ktremote::e2e {
namespace {

using namespace std::chrono_literals;

std::string ipProgram()
{
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (std::filesystem::exists(path))
            return path;
    return "ip";
}

std::vector<std::string> connection(const Ktsim& sim)
{
    return {"--host", "127.0.0.1", "--port", std::to_string(sim.port()), "--data-port", std::to_string(freePort())};
}

TEST(KtcliFault, ARecordingResumesAfterADeadLink)
{
    if (!KTCLI_HAVE_HDF5)
        GTEST_SKIP() << "ktcli was built without HDF5";
    KTREMOTE_RUN_IN_OWN_NAMESPACE("-n");
    runOrFail(ipProgram(), {"link", "set", "lo", "up"});
    TempDir dir;
    Ktsim sim;
    const std::string err = dir.file("ktcli.err");
    std::vector<std::string> arguments = {"stream",       "Voltage",     "--duration",
                                          "120",          "--reconnect", "--force",
                                          "--allow-loss", "--output",    dir.file("run.h5")};
    for (const std::string& word : connection(sim))
        arguments.push_back(word);
    ChildProcess cli(KTCLI_EXECUTABLE, arguments, err);
    ASSERT_TRUE(waitForText(err, " s  Voltage ", 3)) << readFile(err);
    runOrFail(ipProgram(), {"link", "set", "lo", "down"});
    ASSERT_TRUE(waitForText(err, "trying to reach the application again", 1)) << readFile(err);
    runOrFail(ipProgram(), {"link", "set", "lo", "up"});
    ASSERT_TRUE(waitForText(err, "recording again", 1)) << readFile(err);
    const size_t lines = occurrences(err, " s  Voltage ");
    ASSERT_TRUE(waitForText(err, " s  Voltage ", lines + 3)) << readFile(err);
    ASSERT_EQ(::kill(cli.pid(), SIGINT), 0);
    EXPECT_EQ(cli.wait(60s), 0) << readFile(err);
    EXPECT_FALSE(acquiring(sim));

    const ReadRecording file = readRecording(dir.file("run.h5"), dir.path());
    ASSERT_EQ(file.error, "");
    ASSERT_EQ(file.segments.size(), 2u);
    EXPECT_EQ(file.segments[0].reason.rfind("no answer from the application for ", 0), 0u) << file.segments[0].reason;
    EXPECT_EQ(file.segments[1].reason, "signal");
    const ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    EXPECT_GT(expectSegmentsFollowTheModel(model, file, "Voltage"), 1000u);
}

// One float64 channel at 50 kHz fills a small disk within seconds.
const char* fastSetup = "setup fast\nrate 50000\n"
                        "channel number=1 name=Fast unit=V path=1;1 kind=sync divider=1 type=float64\n"
                        "    wave=sine amplitude=2 frequency=50\n";

// "...; it holds the first 12.4 s" gives 12.4; -1 when the sentence is not there.
double heldSeconds(const std::string& err, const std::string& path)
{
    const std::string sentence =
        "ktcli stream: no space left on the device while writing " + path + "; it holds the first ";
    const size_t at = err.find(sentence);
    return at == std::string::npos ? -1.0 : std::strtod(err.c_str() + at + sentence.size(), nullptr);
}

TEST(KtcliFault, AFullDiskEndsTheRecordingCleanly)
{
    KTREMOTE_RUN_IN_OWN_NAMESPACE("-m");
    TempDir dir;
    const std::string disk = dir.file("disk");
    std::filesystem::create_directory(disk);
    runOrFail("/bin/mount", {"-t", "tmpfs", "-o", "size=2m", "tmpfs", disk});
    std::ofstream(dir.file("fast.kts")) << fastSetup;
    Ktsim sim({"--setup", dir.file("fast.kts")});
    const ktsim::SampleModel model{ktsim::loadSetup(dir.file("fast.kts")), Ktsim::seed};
    const ktsim::Channel& channel = model.channel("Fast");

    std::vector<std::string> formats = {"csv"};
    if (KTCLI_HAVE_HDF5)
        formats.push_back("h5");
    for (const std::string& format : formats) {
        SCOPED_TRACE(format);
        const std::string path = disk + "/run." + format;
        std::vector<std::string> arguments = {"stream",        "--duration", "120",      "--quiet",
                                              "--buffer-size", "1000000",    "--output", path};
        for (const std::string& word : connection(sim))
            arguments.push_back(word);
        const RunResult run = runToEnd(KTCLI_EXECUTABLE, arguments, 120s);
        EXPECT_EQ(run.status, 1) << run.err;
        const double held = heldSeconds(run.err, path);
        EXPECT_GT(held, 0.0) << run.err;
        EXPECT_FALSE(acquiring(sim));

        Reading reading;
        reading.model = &channel;
        if (format == "h5") {
            const ReadRecording file = readRecording(path, dir.path());
            ASSERT_EQ(file.error, "");
            ASSERT_EQ(file.segments.size(), 1u);
            EXPECT_EQ(file.segments[0].reason, "disk full");
            const ReadGroup* group = file.channel("Fast");
            ASSERT_NE(group, nullptr);
            reading.values = group->datasets.at("values").data;
            reading.times = group->datasets.at("time").data;
            // The summary counts what the file holds.
            EXPECT_NE(run.out.find("HDF5: " + std::to_string(reading.values.size()) + " samples in " + path),
                      std::string::npos)
                << run.out;
            EXPECT_NEAR(file.segments[0].end, held, 0.05);
        } else {
            std::istringstream rows(readFile(path));
            std::string row;
            std::getline(rows, row);
            EXPECT_EQ(row, "Fast time [s],Fast [V]");
            while (std::getline(rows, row)) {
                const size_t comma = row.find(',');
                ASSERT_NE(comma, std::string::npos) << row;
                reading.times.push_back(std::strtod(row.c_str(), nullptr));
                reading.values.push_back(std::strtod(row.c_str() + comma + 1, nullptr));
            }
        }
        // Everything up to the end it names, and nothing damaged.
        ASSERT_FALSE(reading.times.empty());
        EXPECT_NEAR(reading.times.back(), held, 0.05);
        expectExactDelivery(model, reading, 0.0);
        std::filesystem::remove(path);
    }
    runOrFail("/bin/umount", {disk});
}

} // namespace
} // namespace ktremote::e2e
