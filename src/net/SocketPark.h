// SPDX-License-Identifier: MIT
#pragma once

#include <asio/ip/tcp.hpp>

#include <optional>

namespace ktremote {

// Holds the descriptor of an idle socket outside its I/O context, and puts
// it back before the I/O thread uses the socket again.
//
// An I/O context watches every descriptor it holds, whether or not an
// operation waits on it: each arrival of data wakes the thread that runs
// it. A socket whose replies another thread reads itself (CallerReplyRead.h)
// would wake the I/O thread for every reply as well, which on a machine with
// few cores costs about as much as the hand-over it replaces. Parking
// changes nothing else: the descriptor stays open, with every option set,
// and other threads may go on using its number.
//
// Only the thread that runs the socket's context uses a park.
class SocketPark {
public:
    SocketPark() = default;
    // Closes a descriptor still parked.
    ~SocketPark();

    SocketPark(const SocketPark&) = delete;
    SocketPark& operator=(const SocketPark&) = delete;

    // Takes the descriptor of the open `socket`, on which no operation may
    // be in progress, out of its context; `socket` is closed then. Where the
    // system refuses, the socket stays as it was.
    void park(asio::ip::tcp::socket& socket) noexcept;

    // Puts a parked descriptor back into `socket`. One its context refuses is
    // closed: the socket stays closed, and its next operation fails.
    void unpark(asio::ip::tcp::socket& socket) noexcept;

    bool holds() const { return handle.has_value(); }

private:
    std::optional<asio::ip::tcp::socket::native_handle_type> handle;
    asio::ip::tcp protocol = asio::ip::tcp::v4();
};

} // namespace ktremote
