// SPDX-License-Identifier: MIT
#pragma once

#include "CallerReplyRead.h"
#include "ReplyEnd.h"
#include "SocketPark.h"
#include "api/Failure.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ktremote {

// The failure of a reply that did not come within its time limit. The
// connection is closed by then.
class ReplyTimedOut : public Failure {
public:
    ReplyTimedOut() noexcept;
};

// The command connection of a network instance: a TCP connection to the
// application that carries command lines out and replies back.
//
// The I/O thread reads the socket, except while a caller reads its own
// reply (below); the receive buffer and the pending reply belong to it. The
// caller's thread meets it in `socketConnected`, the future of a reply, and
// the write side: where the platform lets a thread write to the socket
// without waiting and without a signal for a peer that has gone (Linux),
// an exchange writes its line from the calling thread when the connection is
// open, nothing is queued and no reply is awaited. That saves waking the I/O
// thread before the line can go out. Where the calling thread can also wait
// for the socket and a wake at once (CallerReplyRead.h), exchangeAndWait()
// then reads the reply itself, and the I/O thread takes no part in the
// exchange at all; otherwise the I/O thread is asked to start reading first,
// so that its wake-up overlaps the round trip.
//
// The write queue, the socket handle used by callers, whether bytes may
// still be queued, whether a reply is claimed and whether a caller reads
// are guarded by `writeLock`. The I/O thread holds it only for short steps
// that never wait, and closes the socket under it, so a caller never writes
// to a handle that is being closed or has been reused. While a caller
// reads, the I/O thread neither reads nor closes the socket: to end the
// connection or to release that caller (finish()) it raises the caller's
// wake, and the caller hands the socket back with the bytes it read
// (takeSocketBack()); only then does the I/O thread read on or close it.
// While the I/O thread has nothing to do with the socket, its descriptor is
// parked outside the I/O context (SocketPark.h), so that a reply a caller
// reads does not wake the I/O thread as well.
//
// A reply is everything that has come in once its terminator is there, the
// bytes that arrived behind the terminator in the same reads included. A
// reply that passes kMaxReplyBytes without its terminator cannot be told
// apart from the next one any more: it fails, the connection closes, and the
// bytes received for it are given back.
// When the connection fails, is closed by the peer or by close(), the socket
// is closed and a waiting reply fails with a Failure instead of never
// coming; every later reply fails at once. The socket probes an idle peer
// and gives up on unacknowledged data (DeadLinkDetection.h), so a link that
// dies silently fails the same way.
//
// Handlers refer to the connection, so it may be destroyed only once its
// I/O context no longer runs.
class NETCommandConnection {
public:
    using Limit = std::optional<std::chrono::milliseconds>;

    // The longest reply taken: far above any channel list, far below what
    // a 32-bit host can hold.
    static constexpr size_t kMaxReplyBytes = size_t{64} << 20;

    explicit NETCommandConnection(asio::io_context& ioContext);

    NETCommandConnection(const NETCommandConnection&) = delete;
    NETCommandConnection& operator=(const NETCommandConnection&) = delete;

    // Tries the endpoints in order until one accepts; `socketConnected`
    // becomes true when one did.
    void connect(std::vector<asio::ip::tcp::endpoint> endpoints);

    // One command and its reply: sends `line` and waits for the reply that
    // ends where `end` says, as one step, so that no other command can come
    // between the two. The calling thread writes the line itself when it can
    // (see above; what the socket does not take at once is queued for the
    // I/O thread); otherwise the I/O thread queues it. The future holds the
    // reply text, or a Failure when the connection did not come up, broke or
    // is closing. One reply may be awaited at a time; an exchange while
    // another still waits fails at once, and its line is not sent.
    std::future<std::string> exchange(std::string line, ReplyEnd end);

    // The same exchange, returning only once the reply is there or the
    // exchange failed: where the calling thread wrote the line, it reads the
    // reply itself too (see above). For a caller that would wait for the
    // reply at once anyway.
    std::future<std::string> exchangeAndWait(std::string line, ReplyEnd end);

    // Queues bytes for sending. Bytes go out in the order they were queued,
    // lines of later exchanges behind them, once the connection is up.
    void send(std::string bytes);

    // Waits for the next reply without sending anything, reading once the
    // connection is up. With a limit, a reply that is not complete within it
    // closes the connection and fails with ReplyTimedOut.
    std::future<std::string> awaitReply(ReplyEnd end, Limit limit = std::nullopt);

    // The last exchange, for a host that is done with the connection and may
    // call this while another of its threads still waits for a reply. That
    // wait is released first, with a Failure, so the answer to `line` can
    // never become its reply. Then `line` goes out and its reply is awaited;
    // from here on every other exchange fails at once. When a released wait
    // was still reading, the next reply may be the late answer to it instead:
    // either ends the wait, and `limitAfterRelease` bounds it. The
    // connection closes once the wait is over.
    std::future<std::string> finish(std::string line, ReplyEnd end, std::chrono::milliseconds limitAfterRelease);

    // Closes the socket.
    void close();

    // True once the connection to the application is up.
    std::atomic<bool> socketConnected{false};

    // This side's and the application's address of the connection. Read
    // only once socketConnected is true; they do not change after that.
    const asio::ip::tcp::endpoint& localEndpoint() const { return localEnd; }
    const asio::ip::tcp::endpoint& peerEndpoint() const { return peerEnd; }

private:
    enum class State { Connecting, Open, Closed };

    using Handle = asio::ip::tcp::socket::native_handle_type;

    std::future<std::string> startExchange(std::string line, ReplyEnd end, bool readOnThisThread);
    bool writeFromCaller(std::string& line, std::promise<std::string>& reply, ReplyEnd& end, bool readOnThisThread);
    void readOnCaller(Handle handle, std::promise<std::string>& reply, const ReplyEnd& end);
    enum class CallerStop { None, Released, Closed };

    void stopCallerRead(CallerStop reason);
    void takeSocketBack(std::string bytes, CallerReadResult result);
    bool callerHoldsSocket();
    bool claimReply();
    void releaseClaim();
    void enqueue(std::string bytes);
    void startWait(std::promise<std::string> reply, ReplyEnd end, Limit limit);
    void writeFront();
    void readReply();
    void parkWhenIdle();
    void closeSocket();
    void releaseReceiveBuffer();
    void shutDown(std::exception_ptr failure);

    // Owned by the I/O thread.
    State state = State::Connecting;
    asio::io_context& ioContext;
    asio::ip::tcp::socket socket;
    SocketPark park; // holds the socket's descriptor while the I/O thread leaves it to callers
    asio::steady_timer replyTimer;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    asio::ip::tcp::endpoint localEnd; // written before socketConnected
    asio::ip::tcp::endpoint peerEnd;
    std::string receiveBuffer; // bytes not yet handed out
    std::optional<std::promise<std::string>> pendingReply;
    std::optional<ReplyEnd> replyEnd;
    bool reading = false;    // a read for a reply is in progress
    bool writing = false;    // a write of the queue's front is in progress
    bool finishing = false;  // finish() ran: close after its reply
    uint64_t waitNumber = 0; // tells a time limit which wait it belongs to

    // Guards the members below it.
    std::mutex writeLock;
    std::deque<std::string> writeQueue; // front: being written
    bool queueOpen = true;              // neither closed nor finishing: bytes may be queued
    bool replyClaimed = false;          // a reply is awaited, or about to be by a written line
    // The socket's handle while callers may write to it: connected, open,
    // not finishing, and only where callers write.
    std::optional<Handle> callerHandle;
    bool callerReading = false;               // a caller reads its reply: the socket is its until it hands it back
    CallerStop callerStop = CallerStop::None; // why the reading caller was woken

    // Raised to end a caller's read (stopCallerRead()); lowered when the
    // socket is handed back.
    CallerWake callerWake;
};

} // namespace ktremote
