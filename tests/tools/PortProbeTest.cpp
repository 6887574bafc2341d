// SPDX-License-Identifier: MIT
// ktcli's probe of the command port, against real sockets: a listener, a
// port that refuses, and a listener whose queue is full, so that it answers
// nothing.

#include "PortProbe.h"

#include <gtest/gtest.h>

#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ktcli {
namespace {

using std::chrono::milliseconds;

// A TCP socket bound to a free port of 127.0.0.1, listening with `backlog`
// unless that is negative. A bound socket that does not listen keeps its
// port refusing, so that no other program takes it.
class Socket {
public:
    explicit Socket(int backlog)
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
        if (bound && backlog >= 0)
            bound = ::listen(fd, backlog) == 0;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        port = std::to_string(ntohs(address.sin_port));
    }
    ~Socket() { ::close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd = -1;
    bool bound = false;
    std::string port;
};

TEST(PortProbe, TellsAListenerFromAPortThatRefuses)
{
    const Socket listener(4);
    ASSERT_TRUE(listener.bound);
    EXPECT_EQ(probePort("127.0.0.1", listener.port, milliseconds(5000)).outcome, PortProbe::Accepted);
    // The probe's connection is closed again: the listener reads its end.
    const int accepted = ::accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    char byte = 0;
    EXPECT_EQ(::read(accepted, &byte, 1), 0);
    ::close(accepted);

    const Socket closed(-1);
    ASSERT_TRUE(closed.bound);
    const PortProbe refused = probePort("127.0.0.1", closed.port, milliseconds(5000));
    EXPECT_EQ(refused.outcome, PortProbe::Refused);
    EXPECT_FALSE(refused.reason.empty());

    EXPECT_EQ(probePort("127.0.0.1", "no-such-service-name", milliseconds(5000)).outcome, PortProbe::Unresolved);
}

TEST(PortProbe, AListenerThatAnswersNothingIsNotCalledRefusing)
{
    // A full queue drops further connection requests unanswered, as a
    // filtered port or a lost link does.
    const Socket listener(0);
    ASSERT_TRUE(listener.bound);
    PortProbe probe;
    for (int k = 0; k < 8; ++k) {
        probe = probePort("127.0.0.1", listener.port, milliseconds(300));
        if (probe.outcome != PortProbe::Accepted)
            break;
    }
    EXPECT_EQ(probe.outcome, PortProbe::Unanswered);
    EXPECT_TRUE(probe.reason.empty());
}

} // namespace
} // namespace ktcli
