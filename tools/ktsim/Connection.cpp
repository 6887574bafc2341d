// SPDX-License-Identifier: MIT
#include "Connection.h"

namespace ktsim {

Connection::Connection(asio::io_context& io, std::uint64_t randomSeed)
    : ioContext(io), connectionSocket(io), faultRandom(randomSeed), delayTimer(io)
{
}

void Connection::close()
{
    if (socketClosed)
        return;
    socketClosed = true;
    closing();
    sendQueue.clear();
    delayTimer.cancel();
    std::error_code ignored;
    connectionSocket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    connectionSocket.close(ignored);
}

void Connection::send(std::vector<std::uint8_t> bytes, int splitDelayMs)
{
    if (socketClosed || bytes.empty())
        return;
    bool idle = sendQueue.empty();
    if (splitDelayMs < 0) {
        sendQueue.push_back({std::move(bytes), 0});
    } else {
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t left = bytes.size() - at;
            std::size_t size = faultRandom.between(1, std::min<std::size_t>(left, 4096));
            int delay = static_cast<int>(faultRandom.between(0, static_cast<std::uint64_t>(splitDelayMs)));
            sendQueue.push_back({std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + size), delay});
            at += size;
        }
    }
    if (idle)
        writeNext();
}

void Connection::writeNext()
{
    if (socketClosed)
        return;
    if (sendQueue.empty()) {
        written();
        return;
    }
    if (sendQueue.front().delayMs <= 0) {
        writeFront();
        return;
    }
    delayTimer.expires_after(std::chrono::milliseconds(sendQueue.front().delayMs));
    delayTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec && !self->socketClosed)
            self->writeFront();
    });
}

void Connection::writeFront()
{
    asio::async_write(connectionSocket, asio::buffer(sendQueue.front().bytes),
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                          if (self->socketClosed)
                              return;
                          if (ec) {
                              self->close();
                              self->writeFailed(ec);
                              return;
                          }
                          self->sendQueue.pop_front();
                          self->writeNext();
                      });
}

} // namespace ktsim
