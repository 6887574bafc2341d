// SPDX-License-Identifier: MIT
#include "ReferenceReceiver.h"

#include "Measure.h"

#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>

#include <cstring>
#include <string>

namespace ktremote::bench {

namespace {

const uint8_t kStart[8] = {0, 1, 2, 3, 4, 5, 6, 7};
const std::string kEnd("\x07\x06\x05\x04\x03\x02\x01\x00", 8);
constexpr size_t kHeader = 8 + 28; // start marker and body header

int32_t int32At(const uint8_t* p)
{
    int32_t value = 0;
    std::memcpy(&value, p, sizeof value);
    return value;
}

} // namespace

ReferenceReceiver::ReferenceReceiver(size_t channels, size_t capacity)
    : listenAcceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0))
{
    boundPort = listenAcceptor.local_endpoint().port();
    for (size_t c = 0; c < channels; ++c)
        rings.push_back(std::make_unique<ClassicRing>(capacity));
}

ReferenceReceiver::~ReferenceReceiver() { join(); }

void ReferenceReceiver::start()
{
    ioThread = std::thread([this] { run(); });
}

void ReferenceReceiver::join()
{
    if (ioThread.joinable())
        ioThread.join();
}

void ReferenceReceiver::run()
{
    ioThreadId = currentThreadId();
    asio::ip::tcp::socket socket(io);
    asio::error_code error;
    listenAcceptor.accept(socket, error);
    asio::streambuf input;
    while (!error) {
        const size_t size = asio::read_until(socket, input, kEnd, error);
        if (error)
            break;
        decode(static_cast<const uint8_t*>(input.data().data()), size);
        input.consume(size);
    }
}

void ReferenceReceiver::decode(const uint8_t* packet, size_t size)
{
    // Skip anything before the start marker.
    const uint8_t* end = packet + size;
    while (packet + kHeader <= end && std::memcmp(packet, kStart, sizeof kStart) != 0)
        ++packet;
    if (packet + kHeader > end)
        return;
    const int32_t blocks = int32At(packet + 12);
    const uint8_t* at = packet + kHeader;
    for (int32_t b = 0; b < blocks && static_cast<size_t>(b) < rings.size(); ++b) {
        if (at + 4 > end)
            return;
        const int32_t n = int32At(at);
        at += 4;
        if (n < 0 || static_cast<size_t>(end - at) < static_cast<size_t>(n) * 4)
            return;
        ClassicRing& ring = *rings[static_cast<size_t>(b)];
        for (int32_t i = 0; i < n; ++i, at += 4) {
            float value = 0;
            std::memcpy(&value, at, sizeof value);
            if (!ring.push(value))
                droppedCount.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

} // namespace ktremote::bench
