// SPDX-License-Identifier: MIT
// The socket options that make a silently dead link fail: read back from a
// connected socket after enableDeadLinkDetection().

#include "net/DeadLinkDetection.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace ktremote {
namespace {

int intOption(asio::ip::tcp::socket& socket, int level, int option)
{
#if defined(_WIN32)
    DWORD value = 0;
    int size = sizeof value;
    if (getsockopt(socket.native_handle(), level, option, reinterpret_cast<char*>(&value), &size) != 0)
        return -1;
    return static_cast<int>(value);
#else
    int value = 0;
    socklen_t size = sizeof value;
    if (getsockopt(socket.native_handle(), level, option, &value, &size) != 0)
        return -1;
    return value;
#endif
}

TEST(DeadLinkDetection, ProbesAnIdlePeerAndLimitsUnacknowledgedData)
{
    asio::io_context context;
    asio::ip::tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::socket client(context);
    client.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket accepted(context);
    acceptor.accept(accepted);

    enableDeadLinkDetection(client);
    EXPECT_NE(intOption(client, SOL_SOCKET, SO_KEEPALIVE), 0);
#if defined(__linux__)
    EXPECT_EQ(intOption(client, IPPROTO_TCP, TCP_KEEPIDLE), 5);
    EXPECT_EQ(intOption(client, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(intOption(client, IPPROTO_TCP, TCP_KEEPCNT), 10);
    EXPECT_EQ(intOption(client, IPPROTO_TCP, TCP_USER_TIMEOUT), 12000);
#endif
    // The probes and the limit together stay within the 20 s in which a
    // dead link must be noticed.
    EXPECT_LE(DeadLinkTiming::unacknowledgedLimit, std::chrono::seconds(20));
    EXPECT_LE(DeadLinkTiming::keepAliveIdle + 10 * DeadLinkTiming::keepAliveInterval, std::chrono::seconds(20));

    asio::ip::tcp::socket closed(context);
    enableDeadLinkDetection(closed); // harmless on a socket that is not open
}

} // namespace
} // namespace ktremote
