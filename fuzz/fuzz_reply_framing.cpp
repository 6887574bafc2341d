// SPDX-License-Identifier: MIT
// Reply framing of the command connection, over a real loopback connection.
//
// Input: a chunking seed, a byte choosing the end of each reply (bit i:
// reply i is a channel list, which ends with the line end behind "+ETX end
// list", instead of a line ending with "\r\n"), then the bytes the peer
// sends, in pseudo-random pieces. Checked:
//  * a reply is handed out only once its end has arrived, and every reply
//    continues the stream exactly where the previous one ended: no byte is
//    lost, repeated or reordered;
//  * bytes left without an end make one reply with the next bytes that end
//    it;
//  * when the peer closes with no end left (one input in sixteen, chosen by
//    the seed), the waiting caller gets a Failure (within seconds, not
//    never), and so does every later wait.
// The connection is kept from one input to the next until an input closes
// it, so that most executions cost a few reads rather than a new thread and
// a TCP handshake.

#include "FuzzInput.h"

#include "api/Failure.h"
#include "net/NETCommandConnection.h"

#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

using namespace ktremote;
using ktremote::fuzz::Chunker;
using ktremote::fuzz::FuzzInput;

namespace {

constexpr auto kPatience = std::chrono::seconds(20);
// Ends a reply of either kind, whatever came before it.
const std::string kClosing = "+ETX end list\r\n";

// Takes the reply of a future, or nothing when it failed with a Failure.
bool takeReply(std::future<std::string>& future, std::string& reply)
{
    FUZZ_CHECK(future.wait_for(kPatience) == std::future_status::ready);
    try {
        reply = future.get();
        return true;
    } catch (const Failure&) {
        return false;
    }
}

asio::io_context peerContext;
asio::ip::tcp::acceptor acceptor(peerContext, {asio::ip::make_address("127.0.0.1"), 0});

// A command connection with its I/O thread, and the peer's end of it. The
// peer's end is driven with blocking calls from the fuzzing thread, where
// libFuzzer's time-out alarm (SIGALRM, no SA_RESTART) can interrupt them;
// an interrupted accept or write is carried on.
struct Link {
    Link() : guard(asio::make_work_guard(io)), ioThread([this] { io.run(); }), peer(peerContext)
    {
        connection.connect({acceptor.local_endpoint()});
        std::error_code error;
        do
            acceptor.accept(peer, error);
        while (error == asio::error::interrupted);
        if (error)
            throw std::system_error(error, "accept");
    }
    ~Link()
    {
        connection.close();
        guard.reset();
        ioThread.join();
    }

    void send(const std::string& bytes, Chunker& chunker)
    {
        for (size_t at = 0; at < bytes.size();) {
            const size_t n = std::min(bytes.size() - at, chunker.size(256));
            std::error_code error;
            at += asio::write(peer, asio::buffer(bytes.data() + at, n), error);
            if (error && error != asio::error::interrupted)
                throw std::system_error(error, "write");
        }
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard;
    NETCommandConnection connection{io};
    std::thread ioThread;
    asio::ip::tcp::socket peer;
};

std::unique_ptr<Link> current; // the connection that the next input uses

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const uint32_t seed = in.u32();
    Chunker chunker(seed);
    const bool peerCloses = (seed & 0xF0u) == 0;
    const uint8_t kinds = in.byte();
    const std::string stream(reinterpret_cast<const char*>(in.rest()), in.restSize());
    auto isList = [&](size_t reply) { return ((kinds >> (reply % 8)) & 1) != 0; };
    auto endOf = [&](size_t reply) { return isList(reply) ? ReplyEnd::list() : ReplyEnd::line(); };
    // One past the first place where reply `reply` may end, searching the
    // stream from `from`, or npos.
    auto firstEnd = [&](size_t reply, size_t from) {
        const std::string marker = isList(reply) ? "+ETX end list" : "\r\n";
        const size_t found = stream.find(marker, from);
        if (found == std::string::npos || !isList(reply))
            return found == std::string::npos ? found : found + marker.size();
        const size_t lineEnd = stream.find('\n', found + marker.size());
        return lineEnd == std::string::npos ? lineEnd : lineEnd + 1;
    };

    if (!current)
        current = std::make_unique<Link>();
    NETCommandConnection& connection = current->connection;

    size_t replies = 0;
    std::future<std::string> pending = connection.awaitReply(endOf(replies));
    current->send(stream, chunker);

    size_t consumed = 0;
    for (;;) {
        const size_t end = firstEnd(replies, consumed);
        if (end == std::string::npos)
            break;
        std::string reply;
        FUZZ_CHECK(takeReply(pending, reply));
        // The stream from where the last reply ended, at least up to the
        // first place where it may end.
        FUZZ_CHECK(reply.size() >= end - consumed);
        FUZZ_CHECK(stream.compare(consumed, reply.size(), reply) == 0);
        consumed += reply.size();
        ++replies;
        pending = connection.awaitReply(endOf(replies));
    }

    std::string reply;
    if (!peerCloses) {
        // The bytes left over and the closing line make the last reply, and
        // the connection is clean for the next input.
        current->send(kClosing, chunker);
        FUZZ_CHECK(takeReply(pending, reply));
        FUZZ_CHECK(reply == stream.substr(consumed) + kClosing);
        return 0;
    }

    // No end left: the peer goes away, and the wait ends.
    std::error_code ignored;
    current->peer.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    current->peer.close(ignored);
    FUZZ_CHECK(!takeReply(pending, reply));
    std::future<std::string> later = connection.awaitReply(ReplyEnd::line());
    FUZZ_CHECK(!takeReply(later, reply));
    current.reset();
    return 0;
}
