// SPDX-License-Identifier: MIT
#pragma once

#include "ReplyEnd.h"

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <string>

namespace ktremote {

// A calling thread reading the reply to its own command from the command
// socket, instead of waiting for the I/O thread to read it and hand it over.
// That saves two thread wake-ups per exchange, which on a machine with few
// cores cost more than the exchange with a local application itself.
//
// Only where the socket is a plain descriptor that poll() can wait on
// together with an eventfd (Linux); elsewhere `callerReadsReplies` is false
// and the I/O thread reads every reply.
#if defined(__linux__)
inline constexpr bool callerReadsReplies = true;
#else
inline constexpr bool callerReadsReplies = false;
#endif

// Wakes a caller that waits in readReplyOnCaller(), from any thread. A raised
// wake stays raised until lowered, so a raise before the wait still ends it.
class CallerWake {
public:
    CallerWake();
    ~CallerWake();

    CallerWake(const CallerWake&) = delete;
    CallerWake& operator=(const CallerWake&) = delete;

    // False when the system gave no descriptor for it: callers then never
    // read replies themselves.
    bool usable() const { return handle >= 0; }

    void raise() noexcept;
    void lower() noexcept;

    int descriptor() const { return handle; }

private:
    int handle = -1;
};

enum class CallerReadResult {
    Complete,  // `text` holds the reply: every byte read, up to its end and any behind it
    Woken,     // the wake was raised; `text` holds what was read so far
    Failed,    // the socket failed or the peer closed it
    Oversized, // `limit` bytes came without the reply's end
};

// Reads from `socket` until `text` holds a reply that ends where `end` says,
// blocking in poll() on the socket and on `wake`. A failure of the socket
// (a dead link included) ends the read as a close by the peer does. Never
// reads beyond `limit` bytes.
CallerReadResult readReplyOnCaller(asio::ip::tcp::socket::native_handle_type socket, const CallerWake& wake,
                                   const ReplyEnd& end, std::string& text, size_t limit);

} // namespace ktremote
