// SPDX-License-Identifier: MIT
#include "PortProbe.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ktcli {

namespace {

using Clock = std::chrono::steady_clock;

// Whether the failure means that nothing can answer at this address, as
// opposed to an answer that is still to come.
bool isRefusal(int error)
{
    return error == ECONNREFUSED || error == ENETUNREACH || error == EHOSTUNREACH || error == EADDRNOTAVAIL ||
        error == ECONNRESET;
}

// One address: 0 when it accepted, the errno of the failure otherwise;
// ETIMEDOUT when `deadline` passed first.
int tryAddress(const addrinfo& address, Clock::time_point deadline)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
        error = errno;
    else if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd one{fd, POLLOUT, 0};
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
                if (left <= 0) {
                    error = ETIMEDOUT;
                    break;
                }
                const int ready = ::poll(&one, 1, static_cast<int>(left));
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready <= 0) {
                    error = ready == 0 ? ETIMEDOUT : errno;
                    break;
                }
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
                break;
            }
        }
    }
    ::close(fd);
    return error;
}

} // namespace

PortProbe probePort(const std::string& host, const std::string& port, std::chrono::milliseconds limit)
{
    const Clock::time_point deadline = Clock::now() + limit;
    PortProbe probe;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        probe.outcome = PortProbe::Unresolved;
        probe.reason = ::gai_strerror(resolved);
        return probe;
    }
    bool allRefused = true;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int error = tryAddress(*address, deadline);
        if (error == 0) {
            probe.outcome = PortProbe::Accepted;
            probe.reason.clear();
            break;
        }
        if (isRefusal(error))
            probe.reason = std::strerror(error);
        else
            allRefused = false;
        if (error == ETIMEDOUT)
            break;
    }
    ::freeaddrinfo(found);
    if (probe.outcome != PortProbe::Accepted)
        probe.outcome = allRefused ? PortProbe::Refused : PortProbe::Unanswered;
    if (probe.outcome == PortProbe::Unanswered)
        probe.reason.clear();
    return probe;
}

} // namespace ktcli
