// SPDX-License-Identifier: MIT
#include "net/DeadLinkDetection.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace ktremote {

namespace {

template <class Duration>
int millisecondsOf(Duration duration)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

template <class Duration>
int secondsOf(Duration duration)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

#if defined(_WIN32)

// Windows' option for the time that data may stay unacknowledged, in
// seconds. Its number is that of the Windows SDK; older mingw headers do
// not name it.
#ifdef TCP_MAXRT
constexpr int maxRetransmitTimeOption = TCP_MAXRT;
#else
constexpr int maxRetransmitTimeOption = 5;
#endif

void setTimings(SOCKET handle)
{
    // Windows sends a fixed number of probes (10), one per interval, after
    // the idle time: 5 s + 10 × 1 s.
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(millisecondsOf(DeadLinkTiming::keepAliveIdle));
    values.keepaliveinterval = static_cast<ULONG>(millisecondsOf(DeadLinkTiming::keepAliveInterval));
    DWORD returned = 0;
    WSAIoctl(handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);

    const DWORD limit = static_cast<DWORD>(secondsOf(DeadLinkTiming::unacknowledgedLimit));
    setsockopt(handle, IPPROTO_TCP, maxRetransmitTimeOption, reinterpret_cast<const char*>(&limit), sizeof limit);
}

#else

void setInt(int handle, int level, int option, int value) { setsockopt(handle, level, option, &value, sizeof value); }

void setTimings(int handle)
{
#ifdef TCP_KEEPIDLE
    setInt(handle, IPPROTO_TCP, TCP_KEEPIDLE, secondsOf(DeadLinkTiming::keepAliveIdle));
#endif
#ifdef TCP_KEEPINTVL
    setInt(handle, IPPROTO_TCP, TCP_KEEPINTVL, secondsOf(DeadLinkTiming::keepAliveInterval));
#endif
#ifdef TCP_KEEPCNT
    setInt(handle, IPPROTO_TCP, TCP_KEEPCNT, DeadLinkTiming::keepAliveProbes);
#endif
#ifdef TCP_USER_TIMEOUT
    // Also ends a keep-alive wait: the kernel gives up on probes once the
    // peer has been silent for this long.
    setInt(handle, IPPROTO_TCP, TCP_USER_TIMEOUT, millisecondsOf(DeadLinkTiming::unacknowledgedLimit));
#endif
}

#endif

} // namespace

void enableDeadLinkDetection(asio::ip::tcp::socket& socket) noexcept
{
    if (!socket.is_open())
        return;
    std::error_code ignored;
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    setTimings(socket.native_handle());
}

} // namespace ktremote
