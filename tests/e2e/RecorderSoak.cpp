// SPDX-License-Identifier: MIT
// Recorder soak run: one long ktcli stream --reconnect recording to HDF5
// while ktsim is killed and restarted, or (as root, in a private network
// namespace) its link is cut and brought back, every MIN to MAX seconds. At
// the end every recorded value and time is checked against ktsim's model,
// segment by segment. Prints the faults, segments, samples checked and
// errors; exits with 1 when any error was seen.
//
//   ktcli_recorder_soak [SECONDS [MIN MAX [SEED]]]   default 600 s, 30 to 60 s

#include "Ktsim.h"
#include "Recorder.h"
#include "Recordings.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ktremote::e2e;
using Clock = std::chrono::steady_clock;

namespace {

const char* insideVariable = "KTCLI_SOAK_IN_OWN_NETNS";

bool setLoopback(bool up)
{
    for (const char* ip : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (std::filesystem::exists(ip))
            return runToEnd(ip, {"link", "set", "lo", up ? "up" : "down"}, std::chrono::seconds(30)).status == 0;
    return false;
}

// Runs the soak again in a private network namespace where one can be made
// (root), so that links can be cut; returns its status, or -1 to run here.
int runInNetworkNamespace(int argc, char** argv)
{
    if (std::getenv(insideVariable) || ::geteuid() != 0 || !std::filesystem::exists("/usr/bin/unshare"))
        return -1;
    ::setenv(insideVariable, "1", 1);
    std::vector<char*> arguments = {const_cast<char*>("/usr/bin/unshare"), const_cast<char*>("-n")};
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    arguments.push_back(const_cast<char*>(self.c_str()));
    for (int k = 1; k < argc; ++k)
        arguments.push_back(argv[k]);
    arguments.push_back(nullptr);
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(arguments[0], arguments.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 127)
        return WEXITSTATUS(status);
    ::unsetenv(insideVariable);
    return -1; // no namespace: restarts only
}

bool waitUntil(Clock::time_point until)
{
    while (Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the soak's own schedule
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (!KTCLI_HAVE_HDF5) {
        std::printf("recorder soak: ktcli was built without HDF5; nothing to do\n");
        return 0;
    }
    if (const int status = runInNetworkNamespace(argc, argv); status >= 0)
        return status;
    const bool cuts = std::getenv(insideVariable) != nullptr && setLoopback(true);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    const double least = argc > 3 ? std::atof(argv[2]) : 30.0;
    const double most = argc > 3 ? std::atof(argv[3]) : 60.0;
    const unsigned seed = argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10))
                                   : static_cast<unsigned>(std::random_device{}());
    std::printf("recorder soak: %.0f s, a fault every %.0f to %.0f s, %s, seed %u\n", seconds, least, most,
                cuts ? "restarts and link cuts" : "restarts only (no private network namespace)", seed);
    std::fflush(stdout);
    std::mt19937 random(seed);

    TempDir dir;
    const std::string err = dir.file("ktcli.err");
    auto sim = std::make_unique<Ktsim>();
    const uint16_t port = sim->port();
    const std::string path = dir.file("soak.h5");
    ChildProcess cli(KTCLI_EXECUTABLE,
                     {"stream", "Voltage", "Temperature", "--duration", std::to_string(seconds + 120), "--reconnect",
                      "--force", "--allow-loss", "--quiet", "--output", path, "--host", "127.0.0.1", "--port",
                      std::to_string(port), "--data-port", std::to_string(freePort())},
                     err);
    uint64_t restarts = 0;
    uint64_t linkCuts = 0;
    uint64_t errors = 0;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (size_t faults = 1;; ++faults) {
        const double pause = least + (most - least) * static_cast<double>(random() % 1000) / 1000.0;
        const Clock::time_point next =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(pause));
        if (next >= end) {
            waitUntil(end);
            break;
        }
        waitUntil(next);
        const bool cut = cuts && random() % 2 == 0;
        if (cut) {
            setLoopback(false);
            if (!waitForText(err, "trying to reach the application again", faults, std::chrono::seconds(90)))
                ++errors;
            setLoopback(true);
            ++linkCuts;
        } else {
            sim->kill();
            sim.reset();
            if (!waitForText(err, "trying to reach the application again", faults, std::chrono::seconds(90)))
                ++errors;
            sim = std::make_unique<Ktsim>(std::vector<std::string>{"--port", std::to_string(port)});
            ++restarts;
        }
        if (!waitForText(err, "recording again", faults, std::chrono::seconds(90)))
            ++errors;
        std::printf("fault %zu: %s; recording again\n", faults, cut ? "link cut" : "ktsim killed and restarted");
        std::fflush(stdout);
    }
    ::kill(cli.pid(), SIGINT);
    const int status = cli.wait(std::chrono::seconds(60));
    if (status != 0) {
        std::fprintf(stderr, "ktcli exited with %d:\n%s\n", status, readFile(err).c_str());
        ++errors;
    }

    const ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    ::testing::TestPartResultArray failures;
    size_t samples = 0;
    size_t segments = 0;
    double gaps = 0.0;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
        const ReadRecording file = readRecording(path, dir.path());
        EXPECT_EQ(file.error, "");
        segments = file.segments.size();
        EXPECT_EQ(segments, restarts + linkCuts + 1);
        for (size_t s = 1; s < segments; ++s)
            gaps += file.segments[s].start - file.segments[s - 1].end;
        samples += expectSegmentsFollowTheModel(model, file, "Voltage");
        samples += expectSegmentsFollowTheModel(model, file, "Temperature");
    }
    errors += static_cast<uint64_t>(failures.size());
    for (int i = 0; i < failures.size() && i < 5; ++i)
        std::fprintf(stderr, "%s\n", failures.GetTestPartResult(i).message());
    std::printf("recorder soak done: %llu restarts, %llu link cuts, %zu segments, mean gap %.2f s, %zu samples "
                "checked, %llu errors seen\n",
                static_cast<unsigned long long>(restarts), static_cast<unsigned long long>(linkCuts), segments,
                segments > 1 ? gaps / static_cast<double>(segments - 1) : 0.0, samples,
                static_cast<unsigned long long>(errors));
    return errors == 0 ? 0 : 1;
}
