// SPDX-License-Identifier: MIT
// A caller that reads its own reply holds the command socket until it hands
// it back to the I/O thread: a Destroy from another thread releases it and
// the connection then closes; a Disconnect from another thread releases it
// and takes over the bytes it had read of a late answer.

#include "NetTestSupport.h"
#include "ScriptedPeer.h"

#include "api/ExportGuards.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace ktremote::test {
namespace {

using namespace std::chrono_literals;

// Bytes that a loopback TCP connection of this machine holds unread, by the
// ports of its two ends (/proc/net/tcp: "tx_queue:rx_queue", in hex).
// Nothing where the system does not say.
struct Queues {
    unsigned long unsent = 0;
    unsigned long unread = 0;
};

std::optional<Queues> queuesOf(uint16_t localPort, uint16_t remotePort)
{
    std::ifstream table("/proc/net/tcp");
    if (!table)
        return std::nullopt;
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto portOf = [](const std::string& address) {
            return static_cast<uint16_t>(std::stoul(address.substr(address.find(':') + 1), nullptr, 16));
        };
        if (portOf(local) != localPort || portOf(remote) != remotePort)
            continue;
        const size_t colon = queues.find(':');
        return Queues{std::stoul(queues.substr(0, colon), nullptr, 16),
                      std::stoul(queues.substr(colon + 1), nullptr, 16)};
    }
    return std::nullopt;
}

// Waits (bounded) until the library has read everything the peer sent on
// the command connection: nothing unsent on the peer's side, nothing unread
// on the library's.
bool libraryReadAll(uint16_t libraryPort, uint16_t peerPort)
{
    for (int look = 0; look < 3000; ++look) {
        const std::optional<Queues> peerSide = queuesOf(peerPort, libraryPort);
        const std::optional<Queues> librarySide = queuesOf(libraryPort, peerPort);
        if (peerSide && librarySide && peerSide->unsent == 0 && librarySide->unread == 0)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// The application takes "GETSTATUS" and never answers it; the host's other
// thread destroys the instance. The waiting call fails, and the socket it
// read closes (the peer sees the end), though the caller held it while the
// close was asked for.
TEST(CommandHandOver, ADestroyReleasesTheCallerReadingItsReplyAndClosesTheConnection)
{
    std::promise<void> asked;
    std::promise<std::string> leftAtClose;
    ScriptedPeer peer([&](Session& s) {
        greet(s);
        s.readLine();
        asked.set_value();
        leftAtClose.set_value(s.readToClose());
    });
    TestNetInstance instance;
    ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
    ::KTXInstance* handle = handleOf(&instance);
    int state = -1;
    auto waiting = std::async(std::launch::async, [&] { return ktconGetState(handle, &state); });
    asked.get_future().wait();

    EXPECT_EQ(ktconDestroyInstance(handle), KX_OK);
    ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), KX_ERR_FAILED);
    std::future<std::string> closed = leftAtClose.get_future();
    ASSERT_EQ(closed.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(closed.get(), "");
}

// The application has sent "+OK 1\r" of its answer when the watchdog
// disconnects, and the waiting caller has read it; the rest, "\n", comes
// after "EXIT". The released caller hands what it read to Disconnect's wait,
// which takes "+OK 1\r\n" as the late answer and returns at once. Were the
// "\r" lost, a lone "\n" would end nothing, and Disconnect would return only
// after its time limit.
TEST(CommandHandOver, ADisconnectTakesOverWhatTheReleasedCallerReadOfItsAnswer)
{
    std::promise<uint16_t> halfSent;
    ScriptedPeer peer([&](Session& s) {
        greet(s);
        s.readLine();
        s.send("+OK 1\r");
        halfSent.set_value(s.remotePort());
        if (s.readLine() == "EXIT\r\n")
            s.send("\n");
        s.readToClose();
    });
    TestNetInstance instance;
    ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
    instance.setReplyTimeLimit(60s);
    ::KTXInstance* handle = handleOf(&instance);
    int state = -1;
    auto waiting = std::async(std::launch::async, [&] { return ktconGetState(handle, &state); });
    const uint16_t libraryPort = halfSent.get_future().get();
    if (!queuesOf(libraryPort, peer.port()))
        GTEST_SKIP() << "the system does not show its TCP connections in /proc/net/tcp";
    ASSERT_TRUE(libraryReadAll(libraryPort, peer.port()));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ktconDisconnect(handle), KX_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), KX_ERR_FAILED);
    EXPECT_EQ(state, -1);
}

} // namespace
} // namespace ktremote::test
