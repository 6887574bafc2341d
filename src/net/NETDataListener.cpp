// SPDX-License-Identifier: MIT
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

namespace {

// An IPv4 address that reaches an IPv6 socket in its mapped form
// (::ffff:a.b.c.d) is the IPv4 address.
asio::ip::address unmapped(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

} // namespace

NETDataListener::NETDataListener(asio::io_context& io, std::shared_ptr<BlockDecoder> decoder)
    : ioContext(io), blockDecoder(std::move(decoder)),
      budget(std::make_shared<PacketBudget>(PacketFramer::kMaxPacketBytes)), acceptor(io), retryTimer(io)
{
}

void NETDataListener::open(const asio::ip::tcp::endpoint& local, std::optional<asio::ip::address> expectedPeer)
{
    using asio::ip::tcp;
    asio::error_code error;
    const auto step = [&](const char* failure) {
        if (!error)
            return;
        asio::error_code ignored;
        acceptor.close(ignored);
        raise(KX_ERR_START_STEP4, failure);
    };
    if (expectedPeer)
        peerAddress = unmapped(*expectedPeer);
    acceptor.open(local.protocol(), error);
    step("the data listener's socket cannot be opened");
    acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    step("the data listener's socket cannot be set to reuse its address");
    acceptor.bind(local, error);
    step("the data port cannot be bound: another program may be listening on it");
    acceptor.listen(asio::socket_base::max_listen_connections, error);
    step("the data port cannot be listened on");
    boundPort = acceptor.local_endpoint(error).port();
    accepting = true;
    acceptNext();
}

void NETDataListener::acceptNext()
{
    auto connection = std::make_shared<NETDataConnection>(ioContext, blockDecoder, budget, weak_from_this());
    acceptor.async_accept(connection->socket(), [self = shared_from_this(), connection](const asio::error_code& error) {
        self->onAccept(connection, error);
    });
}

void NETDataListener::onAccept(const std::shared_ptr<NETDataConnection>& connection, const asio::error_code& error)
{
    if (!accepting || !acceptor.is_open())
        return; // stopped: the loop ends here instead of failing over and over
    if (error) {
        if (error == asio::error::operation_aborted)
            return;
        retryTimer.expires_after(std::chrono::milliseconds(100));
        retryTimer.async_wait([self = shared_from_this()](const asio::error_code& waitError) {
            if (!waitError && self->accepting && self->acceptor.is_open())
                self->acceptNext();
        });
        return;
    }
    asio::error_code peerError;
    const auto peer = connection->socket().remote_endpoint(peerError);
    if (peerError) {
        connection->close(); // the peer is already gone
    } else if (peerAddress && unmapped(peer.address()) != *peerAddress) {
        // Only the application streams measured data: bytes from anyone else
        // would be read as its samples.
        connection->close();
        refusedCount.fetch_add(1, std::memory_order_relaxed);
    } else {
        std::printf("Connection from: %s\n", peer.address().to_string().c_str());
        // A data connection whose link dies silently ends like one the
        // application closed, instead of waiting for bytes for ever.
        enableDeadLinkDetection(connection->socket());
        connections.push_back(connection);
        connection->start();
    }
    acceptNext();
}

void NETDataListener::stop(asio::error_code& cancelError, asio::error_code& closeError)
{
    accepting = false;
    retryTimer.cancel();
    if (!acceptor.is_open())
        return;
    acceptor.cancel(cancelError);
    acceptor.close(closeError);
}

void NETDataListener::shutdown()
{
    asio::error_code ignored;
    stop(ignored, ignored);
    for (auto& entry : connections) {
        if (auto connection = entry.lock())
            connection->close();
    }
    connections.clear();
}

void NETDataListener::remove(NETDataConnection* connection)
{
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [connection](const std::weak_ptr<NETDataConnection>& entry) {
                                         auto locked = entry.lock();
                                         return !locked || locked.get() == connection;
                                     }),
                      connections.end());
}

} // namespace ktremote
