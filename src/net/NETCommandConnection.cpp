#include "NETCommandConnection.h"

#include "api/Failure.h"
#include "ktremote.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <exception>

namespace ktremote {

namespace {

std::exception_ptr closedFailure()
{
    return std::make_exception_ptr(Failure(KX_ERR_NO_COMMAND_CONNECTION, "the command connection is closed"));
}

} // namespace

NETCommandConnection::NETCommandConnection(asio::io_context& context) : ioContext(context), socket(context) {}

void NETCommandConnection::connect(std::vector<asio::ip::tcp::endpoint> candidates)
{
    asio::post(ioContext, [this, candidates = std::move(candidates)]() mutable {
        endpoints = std::move(candidates);
        // Each endpoint gets a socket of its own address family; a refused
        // attempt closes it and goes on with the next endpoint.
        asio::async_connect(socket, endpoints,
                            [this](const std::error_code& error, const asio::ip::tcp::endpoint&) {
                                if (error) {
                                    shutDown();
                                    return;
                                }
                                state = State::Open;
                                socketConnected.store(true);
                                // Work that came before the connection did
                                // starts now.
                                if (!writeQueue.empty())
                                    writeFront();
                                if (pendingReply)
                                    readReply();
                            });
    });
}

void NETCommandConnection::send(std::string bytes)
{
    asio::post(ioContext, [this, bytes = std::move(bytes)]() mutable {
        // Once the connection is closed nothing goes out any more.
        if (state == State::Closed)
            return;
        const bool idle = writeQueue.empty();
        writeQueue.push_back(std::move(bytes));
        if (idle && state == State::Open)
            writeFront();
    });
}

void NETCommandConnection::writeFront()
{
    asio::async_write(socket, asio::buffer(writeQueue.front()), [this](const std::error_code& error, size_t) {
        if (error) {
            shutDown();
            return;
        }
        writeQueue.pop_front();
        if (!writeQueue.empty())
            writeFront();
    });
}

std::future<std::string> NETCommandConnection::awaitReply(ReplyEnd end)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, reply = std::move(reply), end = std::move(end)]() mutable {
        if (state == State::Closed || pendingReply) {
            reply.set_exception(closedFailure());
            return;
        }
        pendingReply = std::move(reply);
        replyEnd = std::move(end);
        if (state == State::Open)
            readReply();
    });
    return future;
}

void NETCommandConnection::readReply()
{
    asio::async_read_until(socket, asio::dynamic_buffer(receiveBuffer), *replyEnd,
                           [this](const std::error_code& error, size_t) {
                               if (error) {
                                   shutDown();
                                   return;
                               }
                               std::promise<std::string> done = std::move(*pendingReply);
                               pendingReply.reset();
                               std::string text;
                               text.swap(receiveBuffer);
                               done.set_value(std::move(text));
                           });
}

void NETCommandConnection::close()
{
    asio::post(ioContext, [this] { shutDown(); });
}

// Ends the connection for good: a write in progress fails, nothing more is
// sent, and a caller waiting for a reply is told so.
void NETCommandConnection::shutDown()
{
    state = State::Closed;
    std::error_code ignored;
    socket.close(ignored);
    if (pendingReply) {
        pendingReply->set_exception(closedFailure());
        pendingReply.reset();
    }
}

} // namespace ktremote
