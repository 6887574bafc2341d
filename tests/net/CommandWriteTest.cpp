// SPDX-License-Identifier: MIT
// The write side of the command exchange: lines that the calling thread
// writes itself, lines too large for the socket to take at once, the order
// of queued bytes and lines, and a peer that goes while a line is written.

#include "NetTestSupport.h"
#include "ScriptedPeer.h"

#include "api/Failure.h"
#include "net/NETCommandConnection.h"
#include "net/NETIoThread.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

namespace ktremote::test {
namespace {

// More than the socket buffers of both ends take while the peer does not
// read: the caller's write is partial and the I/O thread writes the rest.
std::string largeCommand()
{
    std::string text = "SETCOMMENT ";
    for (int i = 0; text.size() < 12u * 1024 * 1024; ++i)
        text += std::to_string(i % 10);
    return text;
}

TEST(CommandWrite, ALineLargerThanTheSocketTakesGoesOutWholeBeforeTheNextOne)
{
    const std::string large = largeCommand();
    std::promise<void> received;
    ScriptedPeer peer([&](Session& s) {
        greet(s);
        // Nothing is read until the library has had to queue the rest.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::string line = s.readLine();
        EXPECT_EQ(line.size(), large.size() + 2);
        EXPECT_TRUE(line == large + "\r\n");
        s.send("+OK long\r\n");
        EXPECT_EQ(s.readLine(), "NEXT\r\n");
        s.send("+OK next\r\n");
        s.readToClose();
    });
    auto instance = std::make_unique<TestNetInstance>();
    ASSERT_EQ(instance->Connect(peer.connectText().c_str()), KX_OK);
    EXPECT_EQ(instance->Transact(large), "+OK long\r\n");
    EXPECT_EQ(instance->Transact("NEXT"), "+OK next\r\n");
}

TEST(CommandWrite, APeerThatGoesWhileALargeLineIsWrittenReleasesTheCaller)
{
    ScriptedPeer peer([](Session& s) {
        greet(s);
        s.readUntil("SETCOMMENT 0123");
    });
    auto instance = std::make_unique<TestNetInstance>();
    ASSERT_EQ(instance->Connect(peer.connectText().c_str()), KX_OK);
    EXPECT_THROW(instance->Transact(largeCommand()), Failure);
    EXPECT_THROW(instance->Transact("GETSTATUS"), Failure) << "the connection stays closed";
}

// The caller writes into a connection whose peer has already gone: the
// write may still be taken by the socket or fail, the read then fails; the
// caller gets a Failure every time and never waits for good.
TEST(CommandWrite, LinesWrittenAfterThePeerClosedFailAndNeverHang)
{
    for (int round = 0; round < 20; ++round) {
        ScriptedPeer peer([](Session& s) { greet(s); });
        auto instance = std::make_unique<TestNetInstance>();
        ASSERT_EQ(instance->Connect(peer.connectText().c_str()), KX_OK);
        peer.finish(); // closed by the peer
        int failures = 0;
        for (int k = 0; k < 3; ++k) {
            try {
                instance->Transact("GETSTATUS");
            } catch (const Failure&) {
                ++failures;
            }
        }
        EXPECT_EQ(failures, 3) << "round " << round;
    }
}

TEST(CommandWrite, QueuedBytesGoOutBeforeTheLineOfALaterExchange)
{
    ScriptedPeer peer([](Session& s) {
        s.send("+OK welcome\r\n");
        EXPECT_EQ(s.readLine(), "FIRST\r\n");
        EXPECT_EQ(s.readLine(), "SECOND\r\n");
        s.send("+OK second\r\n");
        for (int k = 0; k < 50; ++k) {
            EXPECT_EQ(s.readLine(), "Q" + std::to_string(k) + "\r\n");
            EXPECT_EQ(s.readLine(), "E" + std::to_string(k) + "\r\n");
            s.send("+OK " + std::to_string(k) + "\r\n");
        }
        s.readToClose();
    });
    NETIoThread io;
    NETCommandConnection connection(io.context());
    connection.connect({{asio::ip::make_address("127.0.0.1"), peer.port()}});
    io.start();
    // Before and after the connection is up: queued bytes first, in order.
    connection.send("FIRST\r\n");
    EXPECT_EQ(connection.awaitReply(ReplyEnd::line()).get(), "+OK welcome\r\n");
    EXPECT_EQ(connection.exchange("SECOND\r\n", ReplyEnd::line()).get(), "+OK second\r\n");
    for (int k = 0; k < 50; ++k) {
        connection.send("Q" + std::to_string(k) + "\r\n");
        EXPECT_EQ(connection.exchange("E" + std::to_string(k) + "\r\n", ReplyEnd::line()).get(),
                  "+OK " + std::to_string(k) + "\r\n");
    }
    connection.close();
    peer.finish();
    io.stop();
}

// A second exchange while the first one's reply is still awaited fails at
// once and its line is not sent, whichever thread writes the first line.
TEST(CommandWrite, AnExchangeWhileAReplyIsAwaitedFailsAndStaysUnsent)
{
    std::promise<void> firstSeen;
    std::promise<void> secondDone;
    ScriptedPeer peer([&](Session& s) {
        s.send("+OK welcome\r\n");
        EXPECT_EQ(s.readLine(), "FIRST\r\n");
        firstSeen.set_value();
        secondDone.get_future().wait();
        s.send("+OK first\r\n");
        EXPECT_EQ(s.readToClose(), "");
    });
    NETIoThread io;
    NETCommandConnection connection(io.context());
    connection.connect({{asio::ip::make_address("127.0.0.1"), peer.port()}});
    io.start();
    EXPECT_EQ(connection.awaitReply(ReplyEnd::line()).get(), "+OK welcome\r\n");
    auto first = connection.exchange("FIRST\r\n", ReplyEnd::line());
    firstSeen.get_future().wait();
    auto second = connection.exchange("SECOND\r\n", ReplyEnd::line());
    EXPECT_THROW(second.get(), Failure);
    secondDone.set_value();
    EXPECT_EQ(first.get(), "+OK first\r\n");
    connection.close();
    peer.finish();
    io.stop();
}

} // namespace
} // namespace ktremote::test
