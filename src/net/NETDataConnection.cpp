// SPDX-License-Identifier: MIT
#include "net/NETDataConnection.h"

#include "net/NETDataListener.h"

namespace ktremote {

NETDataConnection::NETDataConnection(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder,
                                     std::shared_ptr<PacketBudget> budget, std::weak_ptr<NETDataListener> listener)
    : dataSocket(io), blockDecoder(std::move(decoder)), packetBudget(std::move(budget)),
      packetFramer(*blockDecoder, PacketFramer::kInitialCapacity, packetBudget.get()), dataListener(std::move(listener))
{
}

void NETDataConnection::start() { readSome(); }

void NETDataConnection::close()
{
    asio::error_code ignored;
    dataSocket.close(ignored);
}

void NETDataConnection::readSome()
{
    dataSocket.async_read_some(asio::buffer(packetFramer.prepare(kReadChunk), kReadChunk),
                               [self = shared_from_this()](const asio::error_code& error, size_t received) {
                                   if (received > 0)
                                       self->packetFramer.commit(received);
                                   if (!error) {
                                       self->readSome();
                                       return;
                                   }
                                   self->close();
                                   if (auto listener = self->dataListener.lock())
                                       listener->remove(self.get());
                               });
}

} // namespace ktremote
