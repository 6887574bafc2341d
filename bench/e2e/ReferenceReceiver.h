// SPDX-License-Identifier: MIT
#pragma once

// The straightforward receive path the library's design is measured
// against: one blocking read_until per packet into a streambuf, then every
// sample pushed on its own into a textbook ring that publishes its index
// once per item. It decodes the synchronous float32 blocks of the benchmark
// setups only; this is a reference, not a receiver to use.

#include "ClassicRing.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace ktremote::bench {

class ReferenceReceiver {
public:
    // Listens on 127.0.0.1 at a free port; a ring of `capacity` per channel.
    ReferenceReceiver(size_t channels, size_t capacity);
    ~ReferenceReceiver();

    uint16_t port() const { return boundPort; }
    // Starts the receiving thread: it accepts one connection and decodes
    // until the stream ends.
    void start();
    void join();

    ClassicRing& ring(size_t channel) { return *rings[channel]; }
    size_t channels() const { return rings.size(); }
    uint64_t dropped() const { return droppedCount.load(std::memory_order_relaxed); }
    pid_t threadId() const { return ioThreadId.load(); }

private:
    void run();
    void decode(const uint8_t* packet, size_t size);

    asio::io_context io;
    asio::ip::tcp::acceptor listenAcceptor;
    uint16_t boundPort = 0;
    std::vector<std::unique_ptr<ClassicRing>> rings;
    std::atomic<uint64_t> droppedCount{0};
    std::atomic<pid_t> ioThreadId{0};
    std::thread ioThread;
};

} // namespace ktremote::bench
