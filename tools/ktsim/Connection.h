// SPDX-License-Identifier: MIT
// A TCP connection with a queue of outgoing bytes that can be sent whole or,
// as an injected fault, cut into random segments with random delays.
#pragma once

#include "Faults.h"

#include <asio.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace ktsim {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::io_context& io, std::uint64_t randomSeed);
    virtual ~Connection() = default;

    asio::ip::tcp::socket& socket() { return connectionSocket; }
    bool closed() const { return socketClosed; }

    // Closes the socket at once; queued bytes are dropped.
    void close();

protected:
    // Queues bytes. With `splitDelayMs` >= 0 they go out in segments of
    // random size with random pauses of up to that many milliseconds.
    void send(std::vector<std::uint8_t> bytes, int splitDelayMs = -1);
    bool writing() const { return !sendQueue.empty(); }

    // Called when the queue has drained.
    virtual void written() {}
    // Called once when a write fails; the socket is closed already.
    virtual void writeFailed(const std::error_code&) {}
    virtual void closing() {}

    asio::io_context& ioContext;
    asio::ip::tcp::socket connectionSocket;
    FaultRandom faultRandom;

private:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        int delayMs;
    };
    void writeNext();
    void writeFront();

    asio::steady_timer delayTimer;
    std::deque<Chunk> sendQueue;
    bool socketClosed = false;
};

} // namespace ktsim
