// Reply framing of the command connection, over a real loopback connection.
//
// Input: a chunking seed, a byte choosing the terminator of each reply
// (bit i: reply i is a list, which ends with the line end behind "+ETX end
// list", instead of a line ending with "\r\n"), then the
// bytes the peer sends, in pseudo-random pieces. Checked:
//  * a reply is handed out only once its terminator has arrived, and every
//    reply continues the stream exactly where the previous one ended: no byte
//    is lost, repeated or reordered;
//  * when the peer closes with no terminator left, the waiting caller gets a
//    Failure (within seconds, not never), and so does every later wait.

#include "FuzzInput.h"

#include "api/Failure.h"
#include "net/NETCommandConnection.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <future>
#include <string>
#include <thread>

using namespace ktremote;
using ktremote::fuzz::Chunker;
using ktremote::fuzz::FuzzInput;

namespace {

constexpr auto kPatience = std::chrono::seconds(20);

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    Chunker chunker(in.u32());
    const uint8_t terminators = in.byte();
    const std::string stream(reinterpret_cast<const char*>(in.rest()), in.restSize());
    auto isList = [&](size_t reply) { return ((terminators >> (reply % 8)) & 1) != 0; };
    auto endOf = [&](size_t reply) { return isList(reply) ? ReplyEnd::list() : ReplyEnd::line(); };
    // One past the first place where reply `reply` may end, searching from
    // `from`, or npos.
    auto firstEnd = [&](size_t reply, size_t from) {
        const std::string marker = isList(reply) ? "+ETX end list" : "\r\n";
        const size_t found = stream.find(marker, from);
        if (found == std::string::npos || !isList(reply))
            return found == std::string::npos ? found : found + marker.size();
        const size_t lineEnd = stream.find('\n', found + marker.size());
        return lineEnd == std::string::npos ? lineEnd : lineEnd + 1;
    };

    static asio::io_context peerContext;
    static asio::ip::tcp::acceptor acceptor(peerContext, {asio::ip::make_address("127.0.0.1"), 0});

    asio::io_context io;
    auto guard = asio::make_work_guard(io);
    std::thread ioThread([&] { io.run(); });
    {
        NETCommandConnection connection(io);
        connection.connect({acceptor.local_endpoint()});
        asio::ip::tcp::socket peer(peerContext);
        acceptor.accept(peer);

        size_t replies = 0;
        std::future<std::string> pending = connection.awaitReply(endOf(replies));
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(stream.size() - at, chunker.size(256));
            asio::write(peer, asio::buffer(stream.data() + at, n));
            at += n;
        }

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

        // No terminator left: the peer goes away, and the wait ends.
        std::error_code ignored;
        peer.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        peer.close(ignored);
        std::string reply;
        FUZZ_CHECK(!takeReply(pending, reply));
        std::future<std::string> later = connection.awaitReply(ReplyEnd::line());
        FUZZ_CHECK(!takeReply(later, reply));

        connection.close();
        guard.reset();
        ioThread.join();
    }
    return 0;
}
