// SPDX-License-Identifier: MIT
#include "NETCommandConnection.h"

#include "DeadLinkDetection.h"
#include "ktremote.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <exception>

#if defined(__linux__)
#include <cerrno>
#include <sys/socket.h>
#endif

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

std::exception_ptr oversizedFailure()
{
    return std::make_exception_ptr(Failure(KX_ERR_NO_COMMAND_CONNECTION,
                                           "a reply passed 64 MiB without its end: the command connection is closed"));
}

std::exception_ptr releasedFailure()
{
    return std::make_exception_ptr(Failure(KX_ERR_NO_COMMAND_CONNECTION, "the command connection is being closed"));
}

// Callers write their lines themselves where the socket can be written
// without waiting and without a signal for a peer that has gone. Elsewhere
// (Windows) the I/O thread writes every line.
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
        asio::async_connect(socket, endpoints, [this](const std::error_code& error, const asio::ip::tcp::endpoint&) {
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
            if (callerWrites && !finishing) {
                std::lock_guard<std::mutex> lock(writeLock);
                callerHandle = socket.native_handle();
            }
            std::error_code ignored;
            localEnd = socket.local_endpoint(ignored);
            peerEnd = socket.remote_endpoint(ignored);
            socketConnected.store(true);
            // Work that came before the connection did
            // starts now.
            writeFront();
            if (pendingReply && !reading)
                readReply();
            parkWhenIdle();
        });
    });
}

std::future<std::string> NETCommandConnection::exchange(std::string line, ReplyEnd end)
{
    return startExchange(std::move(line), std::move(end), false);
}

std::future<std::string> NETCommandConnection::exchangeAndWait(std::string line, ReplyEnd end)
{
    return startExchange(std::move(line), std::move(end), true);
}

std::future<std::string> NETCommandConnection::startExchange(std::string line, ReplyEnd end, bool readOnThisThread)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    if (callerWrites && writeFromCaller(line, reply, end, readOnThisThread))
        return future;
    asio::post(ioContext, [this, line = std::move(line), reply = std::move(reply), end = std::move(end)]() mutable {
        if (state == State::Closed || finishing) {
            reply.set_exception(closedFailure());
            return;
        }
        // The line of a command whose reply nobody could take stays unsent:
        // its answer would become the reply of the command before it.
        if (!claimReply()) {
            reply.set_exception(busyFailure());
            return;
        }
        enqueue(std::move(line));
        startWait(std::move(reply), std::move(end), std::nullopt);
    });
    return future;
}

// On the calling thread: when the connection is open, nothing is queued and
// no reply is claimed, claims the reply and writes the line. What the socket
// did not take is queued for the I/O thread. Then, when asked to and where
// it can, the caller reads the reply itself, and the reply is in `reply` on
// return; otherwise the I/O thread is asked to await it. Returns false,
// leaving everything as it was, when the I/O thread has to handle the
// exchange.
bool NETCommandConnection::writeFromCaller(std::string& line, std::promise<std::string>& reply, ReplyEnd& end,
                                           bool readOnThisThread)
{
    std::optional<Handle> handle;
    {
        std::lock_guard<std::mutex> lock(writeLock);
        if (!callerHandle || !queueOpen || replyClaimed || !writeQueue.empty())
            return false;
        replyClaimed = true;
        handle = *callerHandle;
        callerReading = readOnThisThread && callerReadsReplies && callerWake.usable();
        if (!callerReading) {
            // The read starts while the line travels. The handler cannot
            // overtake this call where it matters: closing the socket and
            // finish() take the lock that is held until the line is out.
            asio::post(ioContext, [this, reply = std::move(reply), end = std::move(end)]() mutable {
                // The connection broke, or a Disconnect released this
                // exchange before it got here; either took the claim.
                if (state == State::Closed || finishing) {
                    reply.set_exception(state == State::Closed ? closedFailure() : releasedFailure());
                    return;
                }
                startWait(std::move(reply), std::move(end), std::nullopt);
            });
        }
        const size_t taken = writeWithoutWaiting(*handle, line);
        if (taken < line.size()) {
            writeQueue.push_back(line.substr(taken));
            asio::post(ioContext, [this] { writeFront(); });
        }
        if (!callerReading)
            return true;
    }
    readOnCaller(*handle, reply, end);
    return true;
}

// On the calling thread, which writeFromCaller() made the socket's reader.
// A reply read to its end is the caller's, unless the I/O thread asked for
// the socket back first: then the caller's call fails as the I/O thread
// said, and every byte read goes back with the socket, so that finish()
// still sees a late answer to this call. A socket that failed, or a reply
// that grew too long, ends the connection as when the I/O thread read it.
// Each thread makes its failures itself: no exception object is shared.
void NETCommandConnection::readOnCaller(Handle handle, std::promise<std::string>& reply, const ReplyEnd& end)
{
    std::string text;
    const CallerReadResult result = readReplyOnCaller(handle, callerWake, end, text, kMaxReplyBytes);
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> lock(writeLock);
        if (callerStop != CallerStop::None) {
            failure = callerStop == CallerStop::Released ? releasedFailure() : closedFailure();
            asio::post(ioContext,
                       [this, bytes = std::move(text), result]() mutable { takeSocketBack(std::move(bytes), result); });
        } else if (result == CallerReadResult::Complete) {
            callerReading = false;
            replyClaimed = false;
        } else {
            failure = result == CallerReadResult::Oversized ? oversizedFailure() : closedFailure();
            // Later calls go the I/O thread's way, behind this hand-back,
            // and find the connection closed.
            queueOpen = false;
            callerHandle.reset();
            asio::post(ioContext, [this, result] { takeSocketBack(std::string(), result); });
        }
    }
    if (failure)
        reply.set_exception(failure);
    else
        reply.set_value(std::move(text));
}

// On the I/O thread, under writeLock: ends the read of the caller that holds
// the socket. Its call fails for the first reason given.
void NETCommandConnection::stopCallerRead(CallerStop reason)
{
    if (callerStop == CallerStop::None)
        callerStop = reason;
    callerWake.raise();
}

// On the I/O thread: the caller is done with the socket. `bytes` are what it
// read and did not keep; `result` says whether the socket failed it.
void NETCommandConnection::takeSocketBack(std::string bytes, CallerReadResult result)
{
    callerWake.lower();
    {
        std::lock_guard<std::mutex> lock(writeLock);
        callerReading = false;
        callerStop = CallerStop::None;
        // shutDown() left the close to this.
        if (state == State::Closed) {
            closeSocket();
            return;
        }
    }
    if (result == CallerReadResult::Failed || result == CallerReadResult::Oversized) {
        shutDown(result == CallerReadResult::Oversized ? oversizedFailure() : closedFailure());
        return;
    }
    // Nobody read the socket meanwhile: these bytes come before any others.
    receiveBuffer = std::move(bytes);
    if (pendingReply && !reading)
        readReply();
    parkWhenIdle();
}

bool NETCommandConnection::callerHoldsSocket()
{
    std::lock_guard<std::mutex> lock(writeLock);
    return callerReading;
}

bool NETCommandConnection::claimReply()
{
    std::lock_guard<std::mutex> lock(writeLock);
    if (replyClaimed)
        return false;
    replyClaimed = true;
    return true;
}

void NETCommandConnection::releaseClaim()
{
    std::lock_guard<std::mutex> lock(writeLock);
    replyClaimed = false;
}

void NETCommandConnection::send(std::string bytes)
{
    {
        // Queued at once, so that a line that a caller writes later cannot
        // overtake these bytes. Once the connection is closed or finishing,
        // nothing goes out any more.
        std::lock_guard<std::mutex> lock(writeLock);
        if (!queueOpen)
            return;
        writeQueue.push_back(std::move(bytes));
    }
    asio::post(ioContext, [this] { writeFront(); });
}

std::future<std::string> NETCommandConnection::awaitReply(ReplyEnd end, Limit limit)
{
    std::promise<std::string> reply;
    std::future<std::string> future = reply.get_future();
    asio::post(ioContext, [this, reply = std::move(reply), end = std::move(end), limit]() mutable {
        if (state == State::Closed || finishing || !claimReply()) {
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
    asio::post(
        ioContext,
        [this, line = std::move(line), reply = std::move(reply), end = std::move(end), limitAfterRelease]() mutable {
            if (state == State::Closed || finishing) {
                reply.set_exception(closedFailure());
                return;
            }
            // From here on callers no longer write or queue. An exchange whose
            // line a caller already wrote counts as waiting even before the I/O
            // thread took its reply: the answer to it may come first.
            bool released = false;
            {
                std::lock_guard<std::mutex> lock(writeLock);
                queueOpen = false;
                callerHandle.reset();
                released = replyClaimed;
                replyClaimed = true; // by this wait
                if (callerReading)
                    stopCallerRead(CallerStop::Released);
            }
            // The waiting call is told first, before the line goes out.
            if (pendingReply) {
                pendingReply->set_exception(releasedFailure());
                pendingReply.reset();
            }
            finishing = true;
            enqueue(std::move(line));
            // A read for the released call may still be in progress, or its
            // answer on the way: it now ends this wait, which therefore needs a
            // bound. Without a released call the reply is this line's own and
            // may take its time.
            startWait(std::move(reply), std::move(end), released ? Limit(limitAfterRelease) : std::nullopt);
        });
    return future;
}

// On the I/O thread, which may queue even after finish() closed the queue
// for callers: finish() queues its own line.
void NETCommandConnection::enqueue(std::string bytes)
{
    {
        std::lock_guard<std::mutex> lock(writeLock);
        writeQueue.push_back(std::move(bytes));
    }
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
    // A caller that holds the socket starts the read when it hands it back.
    if (state != State::Connecting && !reading && !callerHoldsSocket())
        readReply();
}

// Starts writing the queue's front unless a write is in progress, the queue
// is empty, or the connection is not up or closed.
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
    park.unpark(socket);
    asio::async_write(socket, asio::buffer(*front), [this](const std::error_code& error, size_t) {
        writing = false;
        if (error) {
            shutDown(closedFailure());
            return;
        }
        {
            std::lock_guard<std::mutex> lock(writeLock);
            writeQueue.pop_front();
        }
        writeFront();
        parkWhenIdle();
    });
}

void NETCommandConnection::readReply()
{
    reading = true;
    park.unpark(socket);
    asio::async_read_until(socket, asio::dynamic_buffer(receiveBuffer, kMaxReplyBytes), *replyEnd,
                           [this](const std::error_code& error, size_t) {
                               reading = false;
                               if (error) {
                                   releaseReceiveBuffer();
                                   shutDown(error == asio::error::not_found ? oversizedFailure() : closedFailure());
                                   return;
                               }
                               replyTimer.cancel();
                               std::string text;
                               text.swap(receiveBuffer);
                               if (pendingReply) {
                                   std::promise<std::string> done = std::move(*pendingReply);
                                   pendingReply.reset();
                                   // The caller may begin its next exchange
                                   // as soon as it has this reply.
                                   if (!finishing)
                                       releaseClaim();
                                   done.set_value(std::move(text));
                               }
                               if (finishing)
                                   shutDown(closedFailure());
                               parkWhenIdle();
                           });
}

// While the I/O thread does nothing with the socket and callers read their
// replies themselves, its descriptor is parked (SocketPark.h); the I/O
// thread takes it back before it writes, reads or closes.
void NETCommandConnection::parkWhenIdle()
{
    if (!callerReadsReplies || !callerWake.usable() || state != State::Open || finishing || reading || writing ||
        pendingReply)
        return;
    {
        std::lock_guard<std::mutex> lock(writeLock);
        if (!writeQueue.empty())
            return;
    }
    park.park(socket);
}

void NETCommandConnection::closeSocket()
{
    park.unpark(socket);
    std::error_code ignored;
    socket.close(ignored);
}

// Only while no read uses the buffer.
void NETCommandConnection::releaseReceiveBuffer() { std::string().swap(receiveBuffer); }

void NETCommandConnection::close()
{
    asio::post(ioContext, [this] { shutDown(closedFailure()); });
}

// Ends the connection for good: a write in progress fails, nothing more is
// sent, and a caller waiting for a reply is told so.
void NETCommandConnection::shutDown(std::exception_ptr failure)
{
    state = State::Closed;
    {
        // No caller writes to the handle while it closes, nor later.
        std::lock_guard<std::mutex> lock(writeLock);
        queueOpen = false;
        callerHandle.reset();
        replyClaimed = false;
        // A caller that reads is woken; the socket closes when it hands it
        // back, so that its handle is never closed under it or reused.
        if (callerReading)
            stopCallerRead(CallerStop::Closed);
        else
            closeSocket();
    }
    replyTimer.cancel();
    if (!reading)
        releaseReceiveBuffer();
    if (pendingReply) {
        pendingReply->set_exception(std::move(failure));
        pendingReply.reset();
    }
}

} // namespace ktremote
