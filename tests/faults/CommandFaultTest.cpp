// SPDX-License-Identifier: MIT
// Faults of the command connection: the application closes it instead of
// answering, never answers, answers with bytes behind the reply, or answers
// in small pieces. Every call returns (none waits beyond the time it takes
// to see the connection go), with the code the table gives, and the calls
// after it fail at once instead of waiting.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"
#include "api/ExportGuards.h"
#include "api/LastFailure.h"
#include "net/KTXNETInstance.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <thread>

namespace ktremote::e2e {
namespace {

using Call = std::function<int(::KTXInstance*)>;

int getState(::KTXInstance* app)
{
    int state = -1;
    return ktconGetState(app, &state);
}

int channelCount(::KTXInstance* app)
{
    size_t count = 0;
    return ktconGetChannelCount(app, &count);
}

int isAcquiring(::KTXInstance* app)
{
    bool running = false;
    return ktconIsInAqusition(app, &running);
}

// The call that meets the fault, on an instance connected to ktsim that
// already listed its channels and opened "Voltage".
struct CommandFault {
    const char* name;
    std::string fault;
    Call call;
    int result;      // what the call returns
    int laterResult; // what a later call (GetState) returns
};

void PrintTo(const CommandFault& fault, std::ostream* out) { *out << fault.name; }

class CommandFaultTest : public ::testing::TestWithParam<CommandFault> {};

TEST_P(CommandFaultTest, CallReturnsWithItsCodeAndLaterCallsDoNotWait)
{
    const CommandFault& fault = GetParam();
    Ktsim sim({"--fault", fault.fault});
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    ASSERT_EQ(channelCount(app), KX_OK);
    ChannelHandle voltage = openChannel(app, "Voltage");

    EXPECT_EQ(fault.call(app), fault.result);
    // Each fault closes the connection; what fails is the closed connection.
    if (fault.result != KX_OK) {
        EXPECT_EQ(lastFailureText(app), "the command connection is closed");
    }
    EXPECT_EQ(getState(app), fault.laterResult);
    // Reads never touch the command connection: they keep working.
    double value = 0.0;
    double time = 0.0;
    size_t n = 1;
    EXPECT_EQ(ktconChannelReadScalarData_2(voltage.get(), &value, &time, &n), KX_OK);
    ktconDisconnect(app);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CommandFaultTest,
    ::testing::Values(
        CommandFault{"CloseInsteadOfStateReply", "close-on=GETSTATUS", getState, KX_ERR_FAILED, KX_ERR_FAILED},
        CommandFault{"CloseInsteadOfList", "close-on=LISTUSEDCHS#2", channelCount, KX_ERR_FAILED, KX_ERR_FAILED},
        CommandFault{"CloseInsteadOfAcquisitionReply", "close-on=ISMEASURING", isAcquiring, KX_ERR_FAILED,
                     KX_ERR_FAILED},
        // The start reports the step that failed: starting the acquisition.
        CommandFault{"CloseInsteadOfStartReply", "close-on=STARTACQ", ktconStartMeasurement, KX_ERR_START_STEP6,
                     KX_ERR_FAILED},
        CommandFault{"CloseInsteadOfStopReply", "close-on=STOP",
                     [](::KTXInstance* app) {
                         EXPECT_EQ(ktconStartMeasurement(app), KX_OK);
                         return ktconStopMeasurement(app);
                     },
                     KX_ERR_FAILED, KX_ERR_FAILED},
        // Bytes behind a reply's line end belong to that reply: the state is
        // still found in it, and the next command gets its own reply.
        CommandFault{"JunkBehindStateReply", "extra-after=GETSTATUS:junk\\r\\n", getState, KX_OK, KX_OK},
        CommandFault{"RepliesInSmallSegments", "split-replies=1", channelCount, KX_OK, KX_OK}),
    [](const ::testing::TestParamInfo<CommandFault>& info) { return std::string(info.param.name); });

// A list reply with bytes behind its end line: the end line becomes a
// channel line too short to read, and the list is refused rather than read
// with a bogus channel.
TEST(CommandFault, JunkBehindTheListEndRefusesTheList)
{
    Ktsim sim({"--fault", "extra-after=LISTUSEDCHS:junk"});
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 99;
    EXPECT_EQ(ktconGetChannelCount(app, &count), KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(app), "a channel list line has too few fields");
    EXPECT_EQ(getState(app), KX_OK);
    ktconDisconnect(app);
}

// Disconnect from one thread while another waits for a reply that never
// comes: the waiting call ends with a failure, Disconnect returns, and
// nothing waits afterwards.
TEST(CommandFault, DisconnectWhileAReplyIsPendingReleasesTheWaitingCall)
{
    // The application answers neither the state nor "EXIT": only closing the
    // connection can release the waiting call.
    Ktsim sim({"--fault", "silent-on=GETSTATUS", "--fault", "silent-on=EXIT"});
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    // Disconnect waits this long for an answer once it has released the
    // waiting call; the application gives none.
    static_cast<KTXNETInstance*>(instanceOf(app))->setReplyTimeLimit(std::chrono::milliseconds(500));
    auto waiting = std::async(std::launch::async, [app] { return getState(app); });

    // Once ktsim has logged the command, the call waits for its reply.
    const auto sent = [&] {
        for (const std::string& line : sim.receivedLines())
            if (line == "GETSTATUS")
                return true;
        return false;
    };
    std::vector<Reading> none;
    ASSERT_TRUE(readUntil(none, sent)) << sim.log();
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

    EXPECT_EQ(ktconDisconnect(app), KX_OK);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), KX_ERR_FAILED);
    EXPECT_EQ(getState(app), KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(app), "the command connection is closed");
    // ktsim logs "EXIT" only if it went out after the waiting call's command.
    const std::vector<std::string> lines = sim.receivedLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "EXIT");
}

// A peer that accepts the command connection and never greets, with the
// library's own timing (the 2 s connect poll, then the 20 s greeting limit):
// Connect returns -6 in about 22 s, and the instance is not connected.
TEST(CommandFault, APeerThatNeverGreetsEndsTheConnectAfterTwentySeconds)
{
    asio::io_context context;
    asio::ip::tcp::acceptor silent(context, {asio::ip::make_address("127.0.0.1"), 0});
    ::KTXInstance* app = nullptr;
    ASSERT_EQ(ktconCreateInstance(&app, 1), KX_OK);
    const std::string text =
        "127.0.0.1 " + std::to_string(silent.local_endpoint().port()) + " " + std::to_string(freePort());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ktconConnect(app, text.c_str()), KX_ERR_NO_COMMAND_CONNECTION);
    EXPECT_EQ(lastFailureText(app), "the peer at the command port sent no greeting in time: it is not the application");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("silent peer: Connect -6 after %.1f s\n", seconds);
    EXPECT_GE(seconds, 20.0);
    EXPECT_LT(seconds, 2.0 + 20.0 + 5.0);
    EXPECT_EQ(getState(app), KX_ERR_NOT_CONNECTED);
    // The library closed its end: the accepted connection reads end of stream.
    asio::ip::tcp::socket accepted(context);
    silent.accept(accepted);
    char byte = 0;
    std::error_code error;
    accepted.read_some(asio::buffer(&byte, 1), error);
    EXPECT_EQ(error, asio::error::eof);
}

} // namespace
} // namespace ktremote::e2e
