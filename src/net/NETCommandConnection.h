#pragma once

#include "ReplyEnd.h"
#include "api/Failure.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
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
// The socket, the buffers and the pending reply belong to the I/O thread:
// the public operations only post work to the I/O context. The caller's
// thread meets the I/O thread in two places, `socketConnected` and the
// future of a reply.
//
// A reply is everything that has come in once its terminator is there, the
// bytes that arrived behind the terminator in the same reads included.
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

    explicit NETCommandConnection(asio::io_context& ioContext);

    NETCommandConnection(const NETCommandConnection&) = delete;
    NETCommandConnection& operator=(const NETCommandConnection&) = delete;

    // Tries the endpoints in order until one accepts; `socketConnected`
    // becomes true when one did.
    void connect(std::vector<asio::ip::tcp::endpoint> endpoints);

    // One command and its reply: queues `line` for sending and waits for the
    // reply that ends where `end` says, in one step on the I/O thread, so
    // that no other command can come between the two. The future holds the
    // reply text, or a Failure when the connection did not come up, broke or
    // is closing. One reply may be awaited at a time; an exchange while
    // another still waits fails at once, and its line is not sent.
    std::future<std::string> exchange(std::string line, ReplyEnd end);

    // Queues bytes for sending. Bytes go out in the order they were queued,
    // once the connection is up.
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

private:
    enum class State { Connecting, Open, Closed };

    void enqueue(std::string bytes);
    void startWait(std::promise<std::string> reply, ReplyEnd end, Limit limit);
    void writeFront();
    void readReply();
    void shutDown(std::exception_ptr failure);

    State state = State::Connecting;
    asio::io_context& ioContext;
    asio::ip::tcp::socket socket;
    asio::steady_timer replyTimer;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    std::string receiveBuffer;                       // bytes not yet handed out
    std::optional<std::promise<std::string>> pendingReply;
    std::optional<ReplyEnd> replyEnd;
    bool reading = false;                            // a read for a reply is in progress
    bool finishing = false;                          // finish() ran: close after its reply
    uint64_t waitNumber = 0;                         // tells a time limit which wait it belongs to
    std::deque<std::string> writeQueue;              // front: being written
};

} // namespace ktremote
