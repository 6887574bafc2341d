// SPDX-License-Identifier: MIT
#pragma once

#include "net/PacketFramer.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <memory>

namespace ktremote {

class BlockDecoder;
class NETDataListener;

// One accepted data connection: reads whatever has arrived into its own
// framer, which decodes every completed packet inline. Ends, and leaves its
// listener's list, on a read error or when the peer closes. Lives on the I/O
// thread; pending handlers keep it (and the channel buffers) alive.
class NETDataConnection : public std::enable_shared_from_this<NETDataConnection> {
public:
    static constexpr size_t kReadChunk = size_t{128} << 10;

    // The budget is shared by all connections of one listener.
    NETDataConnection(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder, std::shared_ptr<PacketBudget> budget,
                      std::weak_ptr<NETDataListener> listener);

    asio::ip::tcp::socket& socket() { return dataSocket; }
    void start();
    void close();

private:
    void readSome();

    asio::ip::tcp::socket dataSocket;
    std::shared_ptr<BlockDecoder> blockDecoder;
    std::shared_ptr<PacketBudget> packetBudget; // outlives packetFramer
    PacketFramer packetFramer;
    std::weak_ptr<NETDataListener> dataListener;
};

} // namespace ktremote
