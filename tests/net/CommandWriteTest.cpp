// The write side of the command connection: callers write their lines
// themselves when the connection is idle, and the I/O thread writes what
// they could not. Lines must reach the application whole and in order, and
// a close from another thread must end the exchanges, never write into a
// closed socket.

#include "NetTestSupport.h"

#include "api/Failure.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace ktremote::test {
namespace {

// A command of many lines, larger than a socket's buffers can take at once:
// the caller's write takes a part of it and the I/O thread the rest.
std::string largeCommand()
{
    std::string text;
    for (int i = 0; i < 500000; ++i)
        text += "LINE " + std::to_string(1000000 + i) + "\r\n";
    return text + "END";
}

TEST(CommandWrite, ALineLargerThanTheSocketTakesGoesOutWholeBeforeTheNextCommand)
{
    const std::string large = largeCommand();
    ASSERT_GT(large.size(), 6u << 20); // more than Linux lets a socket buffer by default
    // The lines of the large command get no answer of their own; its last
    // one is answered.
    ScriptedPeer peer(application([](const std::string& line) {
        if (line.rfind("LINE ", 0) == 0)
            return std::string();
        return line == "END" ? std::string("+OK large\r\n") : "+OK " + line + "\r\n";
    }));
    TestNetInstance instance;
    ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
    EXPECT_EQ(instance.Transact(large), "+OK large\r\n");
    EXPECT_EQ(instance.Transact("NEXT"), "+OK NEXT\r\n");
    EXPECT_EQ(instance.Transact(large), "+OK large\r\n");
    EXPECT_EQ(instance.Transact("LAST"), "+OK LAST\r\n");
    instance.Disconnect();
    const std::string expected = "SETMODE 1\r\n" + large + "\r\nNEXT\r\n" + large + "\r\nLAST\r\nEXIT\r\n";
    const std::string received = peer.received();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the bytes differ";
}

// The host must not use one instance from two threads at once; when it does,
// the replies may go to the wrong call, but every line still reaches the
// application whole, and every call ends.
TEST(CommandWrite, LinesFromTwoThreadsAtOnceArriveWhole)
{
    constexpr int perThread = 300;
    ConnectedInstance link([](const std::string& line) { return "+OK " + line + "\r\n"; });
    const auto run = [&link](char thread) {
        for (int i = 0; i < perThread; ++i) {
            try {
                link.instance->Transact(std::string("THREAD ") + thread + " COMMAND " + std::to_string(i));
            } catch (const Failure&) {
                // A call that found the other one waiting.
            }
        }
    };
    std::thread a(run, 'A');
    std::thread b(run, 'B');
    a.join();
    b.join();

    std::istringstream lines(link.sentAfterConnect());
    std::set<std::string> seen;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r') << line;
        line.pop_back();
        if (line == "EXIT")
            continue;
        char thread = 0;
        int number = -1;
        char rest = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "THREAD %c COMMAND %d%c", &thread, &number, &rest), 2) << line;
        ASSERT_TRUE(thread == 'A' || thread == 'B') << line;
        ASSERT_TRUE(number >= 0 && number < perThread) << line;
        EXPECT_TRUE(seen.insert(line).second) << "sent twice: " << line;
    }
}

// Closing the connection from another thread while a caller exchanges
// commands as fast as it can: the caller's next exchange fails, and the ones
// after it fail at once.
TEST(CommandWrite, ACloseFromAnotherThreadEndsTheExchanges)
{
    ConnectedInstance link([](const std::string&) { return std::string("+OK\r\n"); });
    std::atomic<int> done{0};
    std::atomic<bool> failed{false};
    std::thread caller([&] {
        try {
            for (;;) {
                link.instance->Transact("GETSTATUS");
                done.fetch_add(1);
            }
        } catch (const Failure&) {
            failed = true;
        }
    });
    while (done.load() < 200)
        std::this_thread::yield();
    // Whether "EXIT" finds the other call waiting or not, the connection
    // closes.
    ktconDisconnect(link.handle());
    caller.join();
    EXPECT_TRUE(failed.load());
    EXPECT_THROW(link.instance->Transact("GETSTATUS"), Failure);
}

} // namespace
} // namespace ktremote::test
