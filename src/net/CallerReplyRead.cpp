// SPDX-License-Identifier: MIT
#include "CallerReplyRead.h"

#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ktremote {

#if defined(__linux__)

CallerWake::CallerWake() : handle(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CallerWake::~CallerWake()
{
    if (handle >= 0)
        ::close(handle);
}

void CallerWake::raise() noexcept
{
    const uint64_t one = 1;
    // Fails only when the counter is full, which leaves it raised.
    [[maybe_unused]] const ssize_t written = ::write(handle, &one, sizeof one);
}

void CallerWake::lower() noexcept
{
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = ::read(handle, &count, sizeof count);
}

namespace {

// How much one read asks for: a short reply needs one small read, a long
// one (a channel list) grows the reads up to 64 KiB.
size_t readSize(size_t held) { return std::max<size_t>(4096, std::min<size_t>(held, size_t{64} << 10)); }

} // namespace

CallerReadResult readReplyOnCaller(asio::ip::tcp::socket::native_handle_type socket, const CallerWake& wake,
                                   const ReplyEnd& end, std::string& text, size_t limit)
{
    size_t searchFrom = 0;
    for (;;) {
        const auto [resume, complete] = end(text.cbegin() + static_cast<std::ptrdiff_t>(searchFrom), text.cend());
        if (complete)
            return CallerReadResult::Complete;
        searchFrom = static_cast<size_t>(resume - text.cbegin());
        if (text.size() >= limit)
            return CallerReadResult::Oversized;

        pollfd waits[2] = {{socket, POLLIN, 0}, {wake.descriptor(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return CallerReadResult::Failed;
        }
        if (waits[1].revents != 0)
            return CallerReadResult::Woken;

        // Readable, closed or failed: the read tells which.
        const size_t held = text.size();
        const size_t room = std::min(limit - held, readSize(held));
        text.resize(held + room);
        ssize_t got;
        do
            got = ::recv(socket, &text[held], room, MSG_DONTWAIT);
        while (got < 0 && errno == EINTR);
        const int error = errno;
        text.resize(held + (got > 0 ? static_cast<size_t>(got) : 0));
        if (got == 0)
            return CallerReadResult::Failed;
        if (got < 0 && error != EAGAIN && error != EWOULDBLOCK)
            return CallerReadResult::Failed;
    }
}

#else

CallerWake::CallerWake() = default;
CallerWake::~CallerWake() = default;
void CallerWake::raise() noexcept {}
void CallerWake::lower() noexcept {}

CallerReadResult readReplyOnCaller(asio::ip::tcp::socket::native_handle_type, const CallerWake&, const ReplyEnd&,
                                   std::string&, size_t)
{
    return CallerReadResult::Failed;
}

#endif

} // namespace ktremote
