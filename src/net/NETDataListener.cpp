#include "net/NETDataListener.h"

#include "api/Failure.h"
#include "ktremote.h"
#include "net/DeadLinkDetection.h"
#include "net/NETDataConnection.h"
#include "net/PacketBudget.h"
#include "net/PacketFramer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace ktremote {

NETDataListener::NETDataListener(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder)
    : io_(io)
    , decoder_(std::move(decoder))
    , budget_(std::make_shared<PacketBudget>(PacketFramer::kMaxPacketBytes))
    , acceptor_(io)
    , retryTimer_(io)
{
}

void NETDataListener::open(uint16_t port)
{
    using asio::ip::tcp;
    asio::error_code error;
    const auto step = [&](const char* failure) {
        if (!error)
            return;
        asio::error_code ignored;
        acceptor_.close(ignored);
        raise(KX_ERR_START_STEP4, failure);
    };
    acceptor_.open(tcp::v4(), error);
    step("the data listener's socket cannot be opened");
    acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    step("the data listener's socket cannot be set to reuse its address");
    acceptor_.bind(tcp::endpoint(asio::ip::address_v4::any(), port), error);
    step("the data port cannot be bound: another program may be listening on it");
    acceptor_.listen(asio::socket_base::max_listen_connections, error);
    step("the data port cannot be listened on");
    port_ = acceptor_.local_endpoint(error).port();
    accepting_ = true;
    acceptNext();
}

void NETDataListener::acceptNext()
{
    auto connection = std::make_shared<NETDataConnection>(io_, decoder_, budget_, weak_from_this());
    acceptor_.async_accept(connection->socket(),
                           [self = shared_from_this(), connection](const asio::error_code& error) {
                               self->onAccept(connection, error);
                           });
}

void NETDataListener::onAccept(const std::shared_ptr<NETDataConnection>& connection, const asio::error_code& error)
{
    if (!accepting_ || !acceptor_.is_open())
        return; // stopped: the loop ends here instead of failing over and over
    if (error) {
        if (error == asio::error::operation_aborted)
            return;
        retryTimer_.expires_after(std::chrono::milliseconds(100));
        retryTimer_.async_wait([self = shared_from_this()](const asio::error_code& waitError) {
            if (!waitError && self->accepting_ && self->acceptor_.is_open())
                self->acceptNext();
        });
        return;
    }
    asio::error_code peerError;
    const auto peer = connection->socket().remote_endpoint(peerError);
    if (peerError) {
        connection->close(); // the peer is already gone
    } else {
        std::printf("Connection from: %s\n", peer.address().to_string().c_str());
        // A data connection whose link dies silently ends like one the
        // application closed, instead of waiting for bytes for ever.
        enableDeadLinkDetection(connection->socket());
        connections_.push_back(connection);
        connection->start();
    }
    acceptNext();
}

void NETDataListener::stop(asio::error_code& cancelError, asio::error_code& closeError)
{
    accepting_ = false;
    retryTimer_.cancel();
    if (!acceptor_.is_open())
        return;
    acceptor_.cancel(cancelError);
    acceptor_.close(closeError);
}

void NETDataListener::shutdown()
{
    asio::error_code ignored;
    stop(ignored, ignored);
    for (auto& entry : connections_) {
        if (auto connection = entry.lock())
            connection->close();
    }
    connections_.clear();
}

void NETDataListener::remove(NETDataConnection* connection)
{
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [connection](const std::weak_ptr<NETDataConnection>& entry) {
                                          auto locked = entry.lock();
                                          return !locked || locked.get() == connection;
                                      }),
                       connections_.end());
}

} // namespace ktremote
