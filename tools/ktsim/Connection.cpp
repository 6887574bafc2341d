#include "Connection.h"

namespace ktsim {

Connection::Connection(asio::io_context& io, std::uint64_t randomSeed)
    : io_(io), socket_(io), random_(randomSeed), delay_(io)
{
}

void Connection::close()
{
    if (closed_)
        return;
    closed_ = true;
    closing();
    queue_.clear();
    delay_.cancel();
    std::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

void Connection::send(std::vector<std::uint8_t> bytes, int splitDelayMs)
{
    if (closed_ || bytes.empty())
        return;
    bool idle = queue_.empty();
    if (splitDelayMs < 0) {
        queue_.push_back({std::move(bytes), 0});
    } else {
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t left = bytes.size() - at;
            std::size_t size = random_.between(1, std::min<std::size_t>(left, 4096));
            int delay = static_cast<int>(random_.between(0, static_cast<std::uint64_t>(splitDelayMs)));
            queue_.push_back({std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + size), delay});
            at += size;
        }
    }
    if (idle)
        writeNext();
}

void Connection::writeNext()
{
    if (closed_)
        return;
    if (queue_.empty()) {
        written();
        return;
    }
    if (queue_.front().delayMs <= 0) {
        writeFront();
        return;
    }
    delay_.expires_after(std::chrono::milliseconds(queue_.front().delayMs));
    delay_.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec && !self->closed_)
            self->writeFront();
    });
}

void Connection::writeFront()
{
    asio::async_write(socket_, asio::buffer(queue_.front().bytes),
                      [self = shared_from_this()](const std::error_code& ec, std::size_t) {
                          if (self->closed_)
                              return;
                          if (ec) {
                              self->close();
                              self->writeFailed(ec);
                              return;
                          }
                          self->queue_.pop_front();
                          self->writeNext();
                      });
}

} // namespace ktsim
