#include "net/NETDataConnection.h"

#include "net/NETDataListener.h"

namespace ktremote {

NETDataConnection::NETDataConnection(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder,
                                     std::shared_ptr<PacketBudget> budget, std::weak_ptr<NETDataListener> listener)
    : socket_(io), decoder_(std::move(decoder)), budget_(std::move(budget)),
      framer_(*decoder_, PacketFramer::kInitialCapacity, budget_.get()), listener_(std::move(listener))
{
}

void NETDataConnection::start() { readSome(); }

void NETDataConnection::close()
{
    asio::error_code ignored;
    socket_.close(ignored);
}

void NETDataConnection::readSome()
{
    socket_.async_read_some(asio::buffer(framer_.prepare(kReadChunk), kReadChunk),
                            [self = shared_from_this()](const asio::error_code& error, size_t received) {
                                if (received > 0)
                                    self->framer_.commit(received);
                                if (!error) {
                                    self->readSome();
                                    return;
                                }
                                self->close();
                                if (auto listener = self->listener_.lock())
                                    listener->remove(self.get());
                            });
}

} // namespace ktremote
