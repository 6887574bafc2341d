#pragma once

#include "AdaptiveSpin.h"
#include "ReplyEnd.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ktremote {

// The command connection of a network instance: a TCP connection to the
// application that carries command lines out and replies back.
//
// The socket, the receive buffer and the pending reply belong to the I/O
// thread, which is the only one that reads. The caller's thread meets it in
// `socketConnected`, the future of a reply, and the write side: exchange()
// writes its line from the calling thread when the connection is open and
// idle, which saves waking the I/O thread before the line can go out. The
// write queue, the socket handle used for that and whether a reply is
// awaited are guarded by `writeLock`; the I/O thread holds it only for short
// steps that never wait, and closes the socket under it, so a caller never
// writes to a handle that is being closed.
//
// A reply is everything that has come in once its terminator is there, the
// bytes that arrived behind the terminator in the same reads included.
// When the connection fails, is closed by the peer or by close(), the socket
// is closed and a waiting reply fails with a Failure instead of never
// coming; every later reply fails at once.
//
// Handlers refer to the connection, so it may be destroyed only once its
// I/O context no longer runs.
class NETCommandConnection {
public:
    explicit NETCommandConnection(asio::io_context& ioContext);

    NETCommandConnection(const NETCommandConnection&) = delete;
    NETCommandConnection& operator=(const NETCommandConnection&) = delete;

    // Tries the endpoints in order until one accepts; `socketConnected`
    // becomes true when one did.
    void connect(std::vector<asio::ip::tcp::endpoint> endpoints);

    // Sends a command line and waits for its reply, which ends where `end`
    // says. When the connection is open, nothing is queued and no reply is
    // awaited, the calling thread writes the line itself without waiting
    // (what does not fit into the socket's buffer is queued); otherwise the
    // line is queued as send() does and the reply awaited as awaitReply()
    // does. The future is as for awaitReply().
    std::future<std::string> exchange(std::string line, ReplyEnd end);

    // Queues bytes for sending. Bytes go out in the order they were queued,
    // once the connection is up.
    void send(std::string bytes);

    // Waits for the next reply, which ends where `end` says, reading once
    // the connection is up. The future holds the reply text, or a Failure
    // when the connection did not come up or broke first. One reply may be
    // awaited at a time.
    std::future<std::string> awaitReply(ReplyEnd end);

    // Closes the socket.
    void close();

    // True once the connection to the application is up.
    std::atomic<bool> socketConnected{false};

    // How callers wait for the replies to their commands; it learns this
    // connection's round trip.
    AdaptiveSpin replyWait;

private:
    enum class State { Connecting, Open, Closed };

    void enqueue(std::string bytes);
    void writeFront();
    void startWait(std::promise<std::string> reply, ReplyEnd end);
    void readReply();
    void shutDown();
    // Takes the awaited reply's promise and lets the next exchange begin.
    std::promise<std::string> takePendingReply();

    State state = State::Connecting;
    asio::io_context& ioContext;
    asio::ip::tcp::socket socket;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    std::string receiveBuffer;                       // bytes not yet handed out
    std::optional<std::promise<std::string>> pendingReply;
    std::optional<ReplyEnd> replyEnd;
    bool writing = false;                            // a write of the queue's front is in progress

    // Guards the members below it.
    std::mutex writeLock;
    std::deque<std::string> writeQueue;              // front: being written
    bool callerMayWrite = false;                     // the socket is open, `callerHandle` is its handle
    asio::ip::tcp::socket::native_handle_type callerHandle{};
    bool replyAwaited = false;                       // a reply is awaited, or an exchange is about to await one
};

} // namespace ktremote
