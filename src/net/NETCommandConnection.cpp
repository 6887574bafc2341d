#include "NETCommandConnection.h"

#include "DeadLinkDetection.h"
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

std::exception_ptr busyFailure()
{
    return std::make_exception_ptr(Failure(KX_ERR_FAILED, "another call waits for a reply"));
}

std::exception_ptr releasedFailure()
{
    return std::make_exception_ptr(Failure(KX_ERR_NO_COMMAND_CONNECTION, "the command connection is being closed"));
}

} // namespace

ReplyTimedOut::ReplyTimedOut() noexcept
    : Failure(KX_ERR_NO_COMMAND_CONNECTION, "no reply from the application within the time limit")
{
}

NETCommandConnection::NETCommandConnection(asio::io_context& context)
    : ioContext(context), socket(context), replyTimer(context)
{
}

void NETCommandConnection::connect(std::vector<asio::ip::tcp::endpoint> candidates)
{
    asio::post(ioContext, [this, candidates = std::move(candidates)]() mutable {
        if (state == State::Closed)
            return;
        endpoints = std::move(candidates);
        // Each endpoint gets a socket of its own address family; a refused
        // attempt closes it and goes on with the next endpoint.
        asio::async_connect(socket, endpoints,
                            [this](const std::error_code& error, const asio::ip::tcp::endpoint&) {
                                if (error) {
                                    shutDown(closedFailure());
                                    return;
                                }
                                // Closed while the connect completed.
                                if (state == State::Closed) {
                                    std::error_code ignored;
                                    socket.close(ignored);
                                    return;
                                }
                                state = State::Open;
                                enableDeadLinkDetection(socket);
                                socketConnected.store(true);
                                // Work that came before the connection did
                                // starts now.
                                if (!writeQueue.empty())
                                    writeFront();
                                if (pendingReply && !reading)
                                    readReply();
                            });
    });
}

std::future<std::string> NETCommandConnection::exchange(std::string line, ReplyEnd end)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, line = std::move(line), reply = std::move(reply), end = std::move(end)]() mutable {
        if (state == State::Closed || finishing) {
            reply.set_exception(closedFailure());
            return;
        }
        // The line of a command whose reply nobody could take stays unsent:
        // its answer would become the reply of the command before it.
        if (pendingReply) {
            reply.set_exception(busyFailure());
            return;
        }
        enqueue(std::move(line));
        startWait(std::move(reply), std::move(end), std::nullopt);
    });
    return future;
}

void NETCommandConnection::send(std::string bytes)
{
    asio::post(ioContext, [this, bytes = std::move(bytes)]() mutable {
        // Once the connection is closed nothing goes out any more.
        if (state == State::Closed || finishing)
            return;
        enqueue(std::move(bytes));
    });
}

std::future<std::string> NETCommandConnection::awaitReply(ReplyEnd end, Limit limit)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, reply = std::move(reply), end = std::move(end), limit]() mutable {
        if (state == State::Closed || finishing || pendingReply) {
            reply.set_exception(closedFailure());
            return;
        }
        startWait(std::move(reply), std::move(end), limit);
    });
    return future;
}

std::future<std::string> NETCommandConnection::finish(std::string line, ReplyEnd end,
                                                      std::chrono::milliseconds limitAfterRelease)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, line = std::move(line), reply = std::move(reply), end = std::move(end),
                           limitAfterRelease]() mutable {
        if (state == State::Closed || finishing) {
            reply.set_exception(closedFailure());
            return;
        }
        // The waiting call is told first, before the line goes out.
        const bool released = pendingReply.has_value();
        if (released) {
            pendingReply->set_exception(releasedFailure());
            pendingReply.reset();
        }
        finishing = true;
        enqueue(std::move(line));
        // A read for the released call may still be in progress: its reply
        // now ends this wait, which therefore needs a bound. Without a
        // released call the reply is this line's own and may take its time.
        startWait(std::move(reply), std::move(end), released ? Limit(limitAfterRelease) : std::nullopt);
    });
    return future;
}

void NETCommandConnection::enqueue(std::string bytes)
{
    const bool idle = writeQueue.empty();
    writeQueue.push_back(std::move(bytes));
    if (idle && state != State::Connecting)
        writeFront();
}

void NETCommandConnection::startWait(std::promise<std::string> reply, ReplyEnd end, Limit limit)
{
    pendingReply = std::move(reply);
    replyEnd = std::move(end);
    const uint64_t number = ++waitNumber;
    replyTimer.cancel();
    if (limit) {
        replyTimer.expires_after(*limit);
        replyTimer.async_wait([this, number](const std::error_code& error) {
            // A limit of an earlier wait that ended while this handler was
            // already queued must not end a later one.
            if (error || number != waitNumber || !pendingReply)
                return;
            shutDown(std::make_exception_ptr(ReplyTimedOut()));
        });
    }
    if (state != State::Connecting && !reading)
        readReply();
}

void NETCommandConnection::writeFront()
{
    asio::async_write(socket, asio::buffer(writeQueue.front()), [this](const std::error_code& error, size_t) {
        if (error) {
            shutDown(closedFailure());
            return;
        }
        writeQueue.pop_front();
        if (!writeQueue.empty())
            writeFront();
    });
}

void NETCommandConnection::readReply()
{
    reading = true;
    asio::async_read_until(socket, asio::dynamic_buffer(receiveBuffer), *replyEnd,
                           [this](const std::error_code& error, size_t) {
                               reading = false;
                               if (error) {
                                   shutDown(closedFailure());
                                   return;
                               }
                               replyTimer.cancel();
                               std::string text;
                               text.swap(receiveBuffer);
                               if (pendingReply) {
                                   std::promise<std::string> done = std::move(*pendingReply);
                                   pendingReply.reset();
                                   done.set_value(std::move(text));
                               }
                               if (finishing)
                                   shutDown(closedFailure());
                           });
}

void NETCommandConnection::close()
{
    asio::post(ioContext, [this] { shutDown(closedFailure()); });
}

// Ends the connection for good: a write in progress fails, nothing more is
// sent, and a caller waiting for a reply is told so.
void NETCommandConnection::shutDown(std::exception_ptr failure)
{
    state = State::Closed;
    std::error_code ignored;
    socket.close(ignored);
    replyTimer.cancel();
    if (pendingReply) {
        pendingReply->set_exception(std::move(failure));
        pendingReply.reset();
    }
}

} // namespace ktremote
