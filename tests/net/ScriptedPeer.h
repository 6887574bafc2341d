// SPDX-License-Identifier: MIT
#pragma once

// A stand-in for the application's side of the command connection, for
// tests that need to see or shape the exact bytes on the wire. It listens on
// a free loopback port and runs a script on its own thread for each
// connection it accepts, one after the other; the script talks through a
// Session with blocking reads and writes. Everything the library sent is
// kept for the test to compare.

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace ktremote::test {

class Session {
public:
    explicit Session(asio::ip::tcp::socket s) : socket(std::move(s))
    {
        socket.set_option(asio::ip::tcp::no_delay(true));
    }

    void send(std::string_view bytes)
    {
        std::error_code ignored;
        asio::write(socket, asio::buffer(bytes.data(), bytes.size()), ignored);
    }

    // Sends the bytes in pieces with a short pause between them, so that
    // they usually arrive in separate segments.
    void sendInPieces(std::initializer_list<std::string_view> pieces)
    {
        for (std::string_view piece : pieces) {
            send(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Everything up to and including the terminator; if the library closes
    // the connection first, whatever came before that.
    std::string readUntil(std::string_view terminator)
    {
        for (;;) {
            const size_t at = pending.find(terminator);
            if (at != std::string::npos) {
                std::string text = pending.substr(0, at + terminator.size());
                pending.erase(0, at + terminator.size());
                return text;
            }
            if (!readSome()) {
                std::string text;
                text.swap(pending);
                return text;
            }
        }
    }

    std::string readLine() { return readUntil("\r\n"); }

    // Waits until the library closes the connection. Returns the bytes that
    // came before the close and were not read yet.
    std::string readToClose()
    {
        while (readSome()) {}
        std::string text;
        text.swap(pending);
        return text;
    }

    void close()
    {
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }

    const std::string& received() const { return log; }

    // The library's port of this connection.
    uint16_t remotePort() const
    {
        std::error_code ignored;
        return socket.remote_endpoint(ignored).port();
    }

private:
    bool readSome()
    {
        char chunk[4096];
        std::error_code error;
        const size_t n = socket.read_some(asio::buffer(chunk), error);
        if (error)
            return false;
        pending.append(chunk, n);
        log.append(chunk, n);
        return true;
    }

    asio::ip::tcp::socket socket;
    std::string pending;
    std::string log;
};

class ScriptedPeer {
public:
    using Script = std::function<void(Session&)>;

    // Accepts `connections` connections on 127.0.0.1 and runs the script on
    // each in turn.
    explicit ScriptedPeer(Script script, int connections = 1)
        : acceptor(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          thread([this, script = std::move(script), connections] { serve(script, connections); })
    {
    }

    ~ScriptedPeer() { finish(); }

    uint16_t port() const { return acceptor.local_endpoint().port(); }

    // A connect text for a network instance that talks to this peer.
    std::string connectText() const { return "127.0.0.1 " + std::to_string(port()) + " 8001"; }

    // Waits for the scripts to end. A script that still waits for a
    // connection gets one that closes at once.
    void finish()
    {
        if (!thread.joinable())
            return;
        while (!done.load()) {
            if (waitingForConnection.load()) {
                asio::io_context local;
                asio::ip::tcp::socket poke(local);
                std::error_code ignored;
                poke.connect(acceptor.local_endpoint(), ignored);
                poke.close(ignored);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        thread.join();
    }

    // Everything the library sent over all connections, once the scripts
    // have ended.
    std::string received()
    {
        finish();
        return log;
    }

private:
    void serve(const Script& script, int connections)
    {
        for (int k = 0; k < connections; ++k) {
            asio::ip::tcp::socket socket(context);
            std::error_code error;
            waitingForConnection.store(true);
            acceptor.accept(socket, error);
            waitingForConnection.store(false);
            if (error)
                break;
            Session session(std::move(socket));
            script(session);
            session.close();
            log += session.received();
        }
        done.store(true);
    }

    asio::io_context context;
    asio::ip::tcp::acceptor acceptor;
    std::atomic<bool> waitingForConnection{false};
    std::atomic<bool> done{false};
    std::string log;
    std::thread thread;
};

} // namespace ktremote::test
