// SPDX-License-Identifier: MIT
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace ktremote {

class BlockDecoder;
class NETDataConnection;
class PacketBudget;

// The data listener: accepts the application's data connections, writes
// "Connection from: <address>" for each, and keeps the list of open
// connections so that a shutdown can close them. Its connections share one
// budget for unfinished packets (PacketBudget).
//
// With an expected peer, only connections from that address are taken: any
// other is closed as soon as it is accepted, before a byte of it is read,
// without a line, and counted in refused(). IPv4 addresses in their
// IPv4-mapped IPv6 form count as the IPv4 address.
//
// open() runs on the host thread before the I/O thread knows the listener;
// everything else runs on the I/O thread. Pending handlers hold the listener.
class NETDataListener : public std::enable_shared_from_this<NETDataListener> {
public:
    NETDataListener(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder);

    // Opens a socket of the local address's family, sets address reuse,
    // binds to the local endpoint and listens with the largest backlog, then
    // starts accepting. Raises a Failure whose text says which of these
    // steps failed.
    void open(const asio::ip::tcp::endpoint& local, std::optional<asio::ip::address> expectedPeer = std::nullopt);

    // Ends the accept loop and closes the listening socket; harmless when the
    // listener is already closed. Reports errors of the two steps.
    void stop(asio::error_code& cancelError, asio::error_code& closeError);

    // stop(), then closes every open data connection.
    void shutdown();

    uint16_t port() const { return boundPort; }
    // Connections closed because they came from another address than the
    // expected peer. Any thread.
    uint64_t refused() const { return refusedCount.load(std::memory_order_relaxed); }
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
    std::optional<asio::ip::address> peerAddress;
    std::atomic<uint64_t> refusedCount{0};
    std::vector<std::weak_ptr<NETDataConnection>> connections;
};

} // namespace ktremote
