#include "NETCommandConnection.h"

#include "api/Failure.h"
#include "ktremote.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <exception>

#if defined(__linux__)
#include <sys/socket.h>
#endif

namespace ktremote {

namespace {

std::exception_ptr closedFailure()
{
    return std::make_exception_ptr(Failure(KX_ERR_NO_COMMAND_CONNECTION, "the command connection is closed"));
}

// Callers write their lines themselves where the socket can be written
// without waiting and without a signal for a peer that has gone.
#if defined(__linux__)
constexpr bool callerWrites = true;

// Writes what the socket takes at once; returns how many bytes that was
// (0 also when it failed: the I/O thread's write of the rest then fails and
// closes the connection).
size_t writeWithoutWaiting(int handle, const std::string& bytes)
{
    ssize_t n;
    do
        n = ::send(handle, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<size_t>(n);
}
#else
constexpr bool callerWrites = false;

template <class Handle>
size_t writeWithoutWaiting(Handle, const std::string&)
{
    return 0;
}
#endif

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
                                {
                                    std::lock_guard<std::mutex> lock(writeLock);
                                    callerMayWrite = callerWrites;
                                    callerHandle = socket.native_handle();
                                }
                                socketConnected.store(true);
                                // Work that came before the connection did
                                // starts now.
                                writeFront();
                                if (pendingReply)
                                    readReply();
                            });
    });
}

std::future<std::string> NETCommandConnection::exchange(std::string line, ReplyEnd end)
{
    bool written = false;
    {
        std::lock_guard<std::mutex> lock(writeLock);
        if (callerMayWrite && !replyAwaited && writeQueue.empty()) {
            replyAwaited = true;
            const size_t taken = writeWithoutWaiting(callerHandle, line);
            if (taken < line.size())
                writeQueue.push_back(line.substr(taken));
            written = true;
        }
    }
    if (!written) {
        send(std::move(line));
        return awaitReply(std::move(end));
    }
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, reply = std::move(reply), end = std::move(end)]() mutable {
        // What the caller could not write goes out before anything queued
        // later.
        writeFront();
        startWait(std::move(reply), std::move(end));
    });
    return future;
}

void NETCommandConnection::send(std::string bytes)
{
    asio::post(ioContext, [this, bytes = std::move(bytes)]() mutable {
        // Once the connection is closed nothing goes out any more.
        if (state == State::Closed)
            return;
        enqueue(std::move(bytes));
    });
}

void NETCommandConnection::enqueue(std::string bytes)
{
    {
        std::lock_guard<std::mutex> lock(writeLock);
        writeQueue.push_back(std::move(bytes));
    }
    writeFront();
}

// Starts writing the queue's front unless a write is in progress, the queue
// is empty or the connection is not open.
void NETCommandConnection::writeFront()
{
    if (writing || state != State::Open)
        return;
    const std::string* front = nullptr;
    {
        std::lock_guard<std::mutex> lock(writeLock);
        if (writeQueue.empty())
            return;
        // Elements of a deque stay in place while others are added behind.
        front = &writeQueue.front();
    }
    writing = true;
    asio::async_write(socket, asio::buffer(*front), [this](const std::error_code& error, size_t) {
        writing = false;
        if (error) {
            shutDown();
            return;
        }
        {
            std::lock_guard<std::mutex> lock(writeLock);
            writeQueue.pop_front();
        }
        writeFront();
    });
}

std::future<std::string> NETCommandConnection::awaitReply(ReplyEnd end)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, reply = std::move(reply), end = std::move(end)]() mutable {
        {
            std::lock_guard<std::mutex> lock(writeLock);
            if (state == State::Closed || replyAwaited) {
                reply.set_exception(closedFailure());
                return;
            }
            replyAwaited = true;
        }
        startWait(std::move(reply), std::move(end));
    });
    return future;
}

// Makes `reply` the awaited one; `replyAwaited` is already set for it.
void NETCommandConnection::startWait(std::promise<std::string> reply, ReplyEnd end)
{
    if (state == State::Closed) {
        takePendingReply();
        reply.set_exception(closedFailure());
        return;
    }
    pendingReply = std::move(reply);
    replyEnd = std::move(end);
    if (state == State::Open)
        readReply();
}

void NETCommandConnection::readReply()
{
    asio::async_read_until(socket, asio::dynamic_buffer(receiveBuffer), *replyEnd,
                           [this](const std::error_code& error, size_t) {
                               if (error) {
                                   shutDown();
                                   return;
                               }
                               std::promise<std::string> done = takePendingReply();
                               std::string text;
                               text.swap(receiveBuffer);
                               done.set_value(std::move(text));
                           });
}

std::promise<std::string> NETCommandConnection::takePendingReply()
{
    std::promise<std::string> reply;
    if (pendingReply) {
        reply = std::move(*pendingReply);
        pendingReply.reset();
    }
    std::lock_guard<std::mutex> lock(writeLock);
    replyAwaited = false;
    return reply;
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
    {
        // No caller is writing to the handle while it closes.
        std::lock_guard<std::mutex> lock(writeLock);
        callerMayWrite = false;
        std::error_code ignored;
        socket.close(ignored);
    }
    if (pendingReply)
        takePendingReply().set_exception(closedFailure());
}

} // namespace ktremote
