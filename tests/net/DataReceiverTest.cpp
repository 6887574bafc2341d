// SPDX-License-Identifier: MIT
#include "PacketBuilder.h"
#include "api/Failure.h"
#include "net/NETDataReceiver.h"

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <poll.h>
#endif

using namespace ktremote;
using namespace ktremote::test;
using asio::ip::tcp;

namespace {

// A receiver on an I/O context run by its own thread, as in an instance,
// and blocking client sockets playing the application.
class DataReceiver : public ::testing::Test {
protected:
    DataReceiver() : work(asio::make_work_guard(io)), ioThread([this] { io.run(); }) {}

    ~DataReceiver() override
    {
        receiver.reset();
        work.reset();
        io.stop();
        ioThread.join();
    }

    std::unique_ptr<NETDataReceiver> listening(uint16_t port = 0)
    {
        auto r = std::make_unique<NETDataReceiver>(io);
        r->addChannel(record("a", 2, Kind::Sync), -1, 1.0);
        r->listen(port);
        return r;
    }

    tcp::socket connect(uint16_t port)
    {
        tcp::socket socket(clientIo);
        socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
        return socket;
    }

    static void send(tcp::socket& socket, const std::vector<uint8_t>& bytes)
    {
        asio::write(socket, asio::buffer(bytes));
    }

    static std::vector<uint8_t> packet(std::vector<int16_t> samples)
    {
        return PacketBuilder(1.0).sync(samples).packet();
    }

    // Reads channel "a" until `count` values have arrived, or a generous
    // deadline has passed.
    static std::vector<double> waitFor(NETDataReceiver& r, size_t count)
    {
        std::vector<double> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            double values[64];
            double times[64];
            size_t n = 64;
            r.readScalarData2("a", values, times, &n);
            got.insert(got.end(), values, values + n);
            if (n == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return got;
    }

    // Like closedByPeer(), but gives up after a generous time instead of
    // waiting for ever on a connection that stays open.
    static bool closedByPeerSoon(tcp::socket& socket)
    {
        pollfd ready{socket.native_handle(), POLLIN, 0};
#ifdef _WIN32
        return WSAPoll(&ready, 1, 30000) == 1 && closedByPeer(socket);
#else
        return ::poll(&ready, 1, 30000) == 1 && closedByPeer(socket);
#endif
    }

    static bool closedByPeer(tcp::socket& socket)
    {
        uint8_t byte;
        asio::error_code error;
        asio::read(socket, asio::buffer(&byte, 1), error);
        return error == asio::error::eof || error == asio::error::connection_reset;
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::thread ioThread;
    asio::io_context clientIo;
    std::unique_ptr<NETDataReceiver> receiver;
};

TEST_F(DataReceiver, AnnouncesEachConnectionAndDecodesItsPackets)
{
    receiver = listening();
    EXPECT_TRUE(receiver->running());
    ::testing::internal::CaptureStdout();
    auto client = connect(receiver->localPort());
    send(client, packet({1, 2}));
    const auto values = waitFor(*receiver, 2); // decoded after the line was written
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(values, (std::vector<double>{1, 2}));
    EXPECT_EQ(out, "Connection from: 127.0.0.1\n");
}

TEST_F(DataReceiver, KeepsAcceptingAfterAConnectionSendsOnePacketAndCloses)
{
    receiver = listening();
    for (int16_t i = 1; i <= 3; ++i) {
        auto client = connect(receiver->localPort());
        send(client, packet({i}));
        client.close();
        EXPECT_EQ(waitFor(*receiver, 1), (std::vector<double>{static_cast<double>(i)}));
    }
}

TEST_F(DataReceiver, ConnectionsOpenAtOnceDoNotMixTheirBytes)
{
    receiver = listening();
    auto first = connect(receiver->localPort());
    auto second = connect(receiver->localPort());
    const auto a = packet({1, 2});
    send(first, std::vector<uint8_t>(a.begin(), a.begin() + 25));
    send(second, packet({3, 4}));
    EXPECT_EQ(waitFor(*receiver, 2), (std::vector<double>{3, 4}));
    send(first, std::vector<uint8_t>(a.begin() + 25, a.end()));
    EXPECT_EQ(waitFor(*receiver, 2), (std::vector<double>{1, 2}));
}

TEST_F(DataReceiver, StopClosesOnlyTheListenerAndTheSamePortCanBeBoundAgain)
{
    receiver = listening();
    const uint16_t port = receiver->localPort();
    auto client = connect(port);
    send(client, packet({1}));
    EXPECT_EQ(waitFor(*receiver, 1).size(), 1u);
    receiver->stop();
    receiver->stop(); // harmless
    EXPECT_TRUE(receiver->running());

    send(client, packet({2})); // the open connection still delivers
    EXPECT_EQ(waitFor(*receiver, 1), (std::vector<double>{2}));

    auto next = listening(port); // a new start on the same port
    EXPECT_EQ(next->localPort(), port);
    auto again = connect(port);
    send(again, packet({3}));
    EXPECT_EQ(waitFor(*next, 1), (std::vector<double>{3}));
}

#ifndef _WIN32 // Windows lets a reuse-address socket bind a port that is in use
TEST_F(DataReceiver, ListenFailureNamesTheStep)
{
    receiver = listening();
    NETDataReceiver second(io);
    try {
        second.listen(receiver->localPort());
        FAIL() << "bound a port that is listened on";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "the data port cannot be bound: another program may be listening on it");
    }
    EXPECT_FALSE(second.running());
    second.stop(); // never listened: nothing to do
}
#endif

TEST_F(DataReceiver, ShutdownAndDestructionCloseOpenConnections)
{
    receiver = listening();
    auto client = connect(receiver->localPort());
    send(client, packet({1}));
    waitFor(*receiver, 1);
    receiver->shutdown();
    EXPECT_TRUE(closedByPeer(client));
    receiver->shutdown(); // harmless

    receiver = listening();
    auto other = connect(receiver->localPort());
    auto partial = packet({2});
    partial.resize(30);
    send(other, concat({packet({1}), partial}));
    waitFor(*receiver, 1);
    receiver.reset(); // with a connection open and half a packet buffered
    EXPECT_TRUE(closedByPeer(other));
}

} // namespace

// Only the expected peer feeds the receiver: a connection from another
// address is closed before a byte of it is read, prints nothing and is
// counted; the peer's own connections go on as before.
TEST_F(DataReceiver, ClosesConnectionsFromOtherAddressesUnread)
{
    const auto loopback = asio::ip::make_address("127.0.0.1");
    receiver = std::make_unique<NETDataReceiver>(io);
    receiver->addChannel(record("a", 2, Kind::Sync), -1, 1.0);
    receiver->listen({loopback, 0}, loopback);
    const uint16_t port = receiver->localPort();

    ::testing::internal::CaptureStdout();
    tcp::socket stranger(clientIo);
    stranger.open(tcp::v4());
    stranger.bind({asio::ip::make_address("127.0.0.2"), 0});
    stranger.connect({loopback, port});
    send(stranger, packet({7, 7}));
    EXPECT_TRUE(closedByPeerSoon(stranger));

    auto application = connect(port);
    send(application, packet({1, 2}));
    send(application, packet({3}));
    EXPECT_EQ(waitFor(*receiver, 3), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Connection from: 127.0.0.1\n");
    EXPECT_EQ(receiver->refusedConnections(), 1u);
}

// An IPv4 peer that reaches a dual-stack IPv6 listener arrives with its
// IPv4-mapped address and counts as itself; ::1 is another address.
TEST_F(DataReceiver, TakesAnIpv4PeerInItsMappedFormAsItself)
{
    receiver = std::make_unique<NETDataReceiver>(io);
    receiver->addChannel(record("a", 2, Kind::Sync), -1, 1.0);
    receiver->listen({asio::ip::address_v6::any(), 0}, asio::ip::make_address("127.0.0.1"));
    const uint16_t port = receiver->localPort();

    ::testing::internal::CaptureStdout();
    tcp::socket ipv6(clientIo);
    ipv6.connect({asio::ip::address_v6::loopback(), port});
    EXPECT_TRUE(closedByPeerSoon(ipv6));
    auto application = connect(port);
    send(application, packet({5}));
    EXPECT_EQ(waitFor(*receiver, 1), (std::vector<double>{5}));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(receiver->refusedConnections(), 1u);
}
