// SPDX-License-Identifier: MIT
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace ktremote {

class BlockDecoder;
class NETDataConnection;
class PacketBudget;

// The data listener: accepts the application's data connections on IPv4
// 0.0.0.0, writes "Connection from: <address>" for each, and keeps the list
// of open connections so that a shutdown can close them. Its connections
// share one budget for unfinished packets (PacketBudget).
//
// open() runs on the host thread before the I/O thread knows the listener;
// everything else runs on the I/O thread. Pending handlers hold the listener.
class NETDataListener : public std::enable_shared_from_this<NETDataListener> {
public:
    NETDataListener(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder);

    // Opens, sets address reuse, binds and listens with the largest backlog,
    // then starts accepting. Raises a Failure whose text says which of these
    // steps failed.
    void open(uint16_t port);

    // Ends the accept loop and closes the listening socket; harmless when the
    // listener is already closed. Reports errors of the two steps.
    void stop(asio::error_code& cancelError, asio::error_code& closeError);

    // stop(), then closes every open data connection.
    void shutdown();

    uint16_t port() const { return boundPort; }
    void remove(NETDataConnection* connection);

private:
    void acceptNext();
    void onAccept(const std::shared_ptr<NETDataConnection>& connection, const asio::error_code& error);

    asio::io_context& ioContext;
    std::shared_ptr<BlockDecoder> blockDecoder;
    std::shared_ptr<PacketBudget> budget;
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retryTimer; // backs off after accept errors such as running out of descriptors
    bool accepting = false;
    uint16_t boundPort = 0;
    std::vector<std::weak_ptr<NETDataConnection>> connections;
};

} // namespace ktremote
