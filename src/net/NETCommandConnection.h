#pragma once

#include "AdaptiveSpin.h"
#include "ReplyEnd.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <atomic>
#include <deque>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace ktremote {

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

    void writeFront();
    void readReply();
    void shutDown();

    State state = State::Connecting;
    asio::io_context& ioContext;
    asio::ip::tcp::socket socket;
    std::vector<asio::ip::tcp::endpoint> endpoints;
    std::string receiveBuffer;                       // bytes not yet handed out
    std::optional<std::promise<std::string>> pendingReply;
    std::optional<ReplyEnd> replyEnd;
    std::deque<std::string> writeQueue;              // front: being written
};

} // namespace ktremote
