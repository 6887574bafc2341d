// SPDX-License-Identifier: MIT
// Dead links: every loopback connection of a private network namespace is
// cut, without a FIN or RST, by taking the namespace's loopback interface
// down while the library is connected to ktsim there. Without probes the
// kernel would give up only after its retransmission limit (about a quarter
// of an hour), and never on an idle connection. Each test measures the time
// from the cut to the failure the host sees and prints it.
//
// Each test runs itself again in a new network namespace (`unshare -n`,
// which needs root); where the system refuses that, the test is skipped and
// says why.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"
#include "api/LastFailure.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace ktremote::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* insideVariable = "KTREMOTE_TEST_IN_OWN_NETNS";
// What the library promises: a dead link fails the host's call within this.
constexpr auto detectionLimit = 20s;

std::string firstExisting(std::initializer_list<const char*> paths)
{
    for (const char* path : paths)
        if (std::filesystem::exists(path))
            return path;
    return {};
}

void setLoopback(bool up)
{
    const std::string ip = firstExisting({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
    ASSERT_FALSE(ip.empty()) << "no ip program";
    const RunResult result = runToEnd(ip, {"link", "set", "lo", up ? "up" : "down"}, 30s);
    ASSERT_EQ(result.status, 0) << result.err;
}

enum class Place { Inside, RanThere, Refused };

// Inside the namespace: brings its loopback up and returns Inside. Outside:
// runs this test in a new namespace, checks its outcome and passes on what
// it printed; Refused (with the reason) when no namespace can be made.
Place runInOwnNetworkNamespace(std::string& reason)
{
    if (std::getenv(insideVariable)) {
        setLoopback(true);
        return Place::Inside;
    }
    const std::string unshare = firstExisting({"/usr/bin/unshare", "/bin/unshare"});
    if (unshare.empty()) {
        reason = "no unshare program";
        return Place::Refused;
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    ::setenv(insideVariable, "1", 1);
    const RunResult result =
        runToEnd(unshare, {"-n", std::filesystem::read_symlink("/proc/self/exe").string(), filter}, 150s);
    ::unsetenv(insideVariable);
    if (result.status != 0 && result.err.find("unshare failed") != std::string::npos) {
        reason = "the system refuses a private network namespace: " + result.err;
        return Place::Refused;
    }
    std::fputs(result.out.c_str(), stdout);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.find("[  SKIPPED ]"), std::string::npos) << result.out;
    return Place::RanThere;
}

#define RUN_IN_OWN_NETWORK_NAMESPACE()                                                                                 \
    do {                                                                                                               \
        std::string reason;                                                                                            \
        const Place place = runInOwnNetworkNamespace(reason);                                                          \
        if (place == Place::Refused)                                                                                   \
            GTEST_SKIP() << reason;                                                                                    \
        if (place == Place::RanThere)                                                                                  \
            return;                                                                                                    \
    } while (false)

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void report(const char* what, int result, double seconds)
{
    std::printf("dead link, %s: %d after %.1f s\n", what, result, seconds);
    std::fflush(stdout);
}

int getState(::KTXInstance* app)
{
    int state = -1;
    return ktconGetState(app, &state);
}

// Whether this namespace has an established TCP connection whose local
// port is `port`.
bool establishedOn(uint16_t port)
{
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream file(table);
        std::string line;
        std::getline(file, line); // heading
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const size_t colon = local.rfind(':');
            if (state == "01" && colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port)
                return true;
        }
    }
    return false;
}

// A call waiting for its reply when the link dies.
TEST(DeadLink, APendingCommandFails)
{
    RUN_IN_OWN_NETWORK_NAMESPACE();
    Ktsim sim({"--fault", "silent-on=GETSTATUS"});
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    auto waiting = std::async(std::launch::async, [app] { return getState(app); });
    const auto sent = [&] {
        for (const std::string& line : sim.receivedLines())
            if (line == "GETSTATUS")
                return true;
        return false;
    };
    std::vector<Reading> none;
    ASSERT_TRUE(readUntil(none, sent)) << sim.log();

    const auto cut = Clock::now();
    setLoopback(false);
    ASSERT_EQ(waiting.wait_for(90s), std::future_status::ready) << "still waiting after 90 s";
    const int result = waiting.get();
    const double seconds = secondsSince(cut);
    report("pending command", result, seconds);
    EXPECT_EQ(result, KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(app), "the command connection is closed");
    EXPECT_LT(seconds, std::chrono::duration<double>(detectionLimit).count());

    const auto later = Clock::now();
    EXPECT_EQ(getState(app), KX_ERR_FAILED);
    EXPECT_LT(secondsSince(later), 1.0) << "a later command waited";
}

// An idle instance whose link died: its next command fails.
TEST(DeadLink, ACommandOnAnIdleInstanceFails)
{
    RUN_IN_OWN_NETWORK_NAMESPACE();
    Ktsim sim;
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);

    const auto cut = Clock::now();
    setLoopback(false);
    auto command = std::async(std::launch::async, [app] { return getState(app); });
    ASSERT_EQ(command.wait_for(90s), std::future_status::ready) << "still waiting after 90 s";
    const int result = command.get();
    const double seconds = secondsSince(cut);
    report("idle instance, then a command", result, seconds);
    EXPECT_EQ(result, KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(app), "the command connection is closed");
    EXPECT_LT(seconds, std::chrono::duration<double>(detectionLimit).count());

    const auto later = Clock::now();
    EXPECT_EQ(ktconGetChannelCount(app, &count), KX_ERR_FAILED);
    EXPECT_LT(secondsSince(later), 1.0) << "a later command waited";
}

// The stop of a running measurement: it fails, the values received before
// the cut stay readable and exact, and the data port is free again.
TEST(DeadLink, StopMeasurementFailsAndFreesTheDataPort)
{
    RUN_IN_OWN_NETWORK_NAMESPACE();
    Ktsim sim;
    const uint16_t dataPort = freePort();
    Measurement measurement = measureVoltageAndEvents(sim, dataPort, 100000, 300);
    ASSERT_FALSE(::testing::Test::HasFailure());
    ::KTXInstance* app = measurement.app;
    std::vector<Reading>& readings = measurement.readings;

    const auto cut = Clock::now();
    setLoopback(false);
    auto stop = std::async(std::launch::async, [app] { return ktconStopMeasurement(app); });
    ASSERT_EQ(stop.wait_for(90s), std::future_status::ready) << "still waiting after 90 s";
    const int result = stop.get();
    const double seconds = secondsSince(cut);
    report("stop during a measurement", result, seconds);
    EXPECT_EQ(result, KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(app), "the command connection is closed");
    EXPECT_LT(seconds, std::chrono::duration<double>(detectionLimit).count());

    for (Reading& reading : readings) {
        reading.readAll();
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(defaultModel(), reading, readings.front().times.at(0));
    }
    EXPECT_FALSE(establishedOn(dataPort)) << "the data connection is still open";
    asio::io_context context;
    asio::ip::tcp::acceptor again(context);
    std::error_code error;
    again.open(asio::ip::tcp::v4());
    again.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    again.bind({asio::ip::tcp::v4(), dataPort}, error);
    EXPECT_FALSE(error) << "the data port is still taken: " << error.message();
}

// A host that only reads while the link dies: the data connection is closed
// by the library on its own, and what came before stays readable.
TEST(DeadLink, TheDataConnectionOfAMeasurementIsClosed)
{
    RUN_IN_OWN_NETWORK_NAMESPACE();
    Ktsim sim;
    const uint16_t dataPort = freePort();
    Measurement measurement = measureVoltageAndEvents(sim, dataPort, 100000, 300);
    ASSERT_FALSE(::testing::Test::HasFailure());
    std::vector<Reading>& readings = measurement.readings;
    ASSERT_TRUE(establishedOn(dataPort));

    const auto cut = Clock::now();
    setLoopback(false);
    ASSERT_TRUE(readUntil(
        readings, [&] { return !establishedOn(dataPort); }, 90s))
        << "still open after 90 s";
    const double seconds = secondsSince(cut);
    report("data connection of a measurement", 0, seconds);
    EXPECT_LT(seconds, std::chrono::duration<double>(detectionLimit).count());
    for (const Reading& reading : readings) {
        EXPECT_EQ(reading.lastResult, KX_OK);
        expectExactDelivery(defaultModel(), reading, readings.front().times.at(0));
    }
}

} // namespace
} // namespace ktremote::e2e
