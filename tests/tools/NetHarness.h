// SPDX-License-Identifier: MIT
// Runs a ktsim Simulator in process and talks to it over loopback: a command
// client and a data sink, each with time limits so that a fault fails the
// test instead of hanging it.
#pragma once

#include "HostSide.h"
#include "SetupParser.h"
#include "Simulator.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace nettest {

using namespace std::chrono_literals;
using asio::ip::tcp;

struct Harness {
    explicit Harness(std::vector<std::string> faults = {}, const std::string& setup = "builtin:clean",
                     bool burst = false, const std::string& logFile = "")
    {
        options.port = 0;
        options.seed = 11;
        options.packetMs = 2;
        options.burst = burst;
        options.logFile = logFile;
        options.verbose = std::getenv("KTSIM_TEST_VERBOSE") != nullptr;
        options.faultSpecs = faults;
        options.faults = ktsim::parseFaults(faults);
        sim = std::make_unique<ktsim::Simulator>(io, options, ktsim::loadSetup(setup));
        sim->start();
        thread = std::thread([this] { io.run(); });
    }
    ~Harness()
    {
        sim->requestStop();
        thread.join();
    }
    tcp::endpoint endpoint() const { return sim->endpoint(); }

    ktsim::Options options;
    asio::io_context io;
    std::unique_ptr<ktsim::Simulator> sim;
    std::thread thread;
};

class Client {
public:
    explicit Client(const tcp::endpoint& endpoint)
    {
        clientSocket.connect(endpoint);
        clientSocket.set_option(tcp::no_delay(true));
    }

    // Everything up to and including `delimiter`, "(closed)" when the
    // connection ends first, "(timeout)" when nothing comes.
    std::string readUntil(const std::string& delimiter, std::chrono::milliseconds limit = 10s)
    {
        std::string result = "(timeout)";
        asio::async_read_until(clientSocket, readBuffer, delimiter, [&](const std::error_code& ec, std::size_t n) {
            if (ec) {
                result = "(closed)";
                return;
            }
            result.assign(asio::buffers_begin(readBuffer.data()), asio::buffers_begin(readBuffer.data()) + n);
            readBuffer.consume(n);
        });
        ioContext.restart();
        ioContext.run_for(limit);
        if (!ioContext.stopped()) {
            clientSocket.cancel();
            ioContext.restart();
            ioContext.run();
            result = "(timeout)";
        }
        return result;
    }

    std::string line() { return readUntil("\r\n"); }

    void write(const std::string& text) { asio::write(clientSocket, asio::buffer(text)); }

    // Sends a command the way the library does, one byte per write.
    std::string command(const std::string& text)
    {
        for (char c : text + "\r\n")
            asio::write(clientSocket, asio::buffer(&c, 1));
        return line();
    }

    // Bytes received beyond the last reply.
    std::string leftover() const
    {
        return std::string(asio::buffers_begin(readBuffer.data()), asio::buffers_end(readBuffer.data()));
    }

private:
    asio::io_context ioContext;
    tcp::socket clientSocket{ioContext};
    asio::streambuf readBuffer;
};

// Accepts `expected` data connections and reads each to its end.
class DataSink {
public:
    explicit DataSink(int expected = 1) : expectedConnections(expected)
    {
        accept();
        ioThread = std::thread([this] { ioContext.run_for(30s); });
    }
    ~DataSink()
    {
        ioContext.stop();
        if (ioThread.joinable())
            ioThread.join();
    }
    std::string port() const { return std::to_string(listenAcceptor.local_endpoint().port()); }

    // Waits until at least `bytes` arrived; false after the time limit.
    bool waitFor(std::size_t bytes, std::chrono::seconds limit = 20s)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (receivedByteCount.load() < bytes) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    // Waits for every connection to end; then the data can be read.
    void join() { ioThread.join(); }
    const std::vector<std::uint8_t>& data(std::size_t connection = 0) const
    {
        return acceptedConnections.at(connection)->data;
    }
    std::size_t connectionCount() const { return acceptedConnections.size(); }

private:
    struct Connection {
        explicit Connection(asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        std::vector<std::uint8_t> data;
        std::array<std::uint8_t, 65536> buffer{};
    };

    void accept()
    {
        auto c = std::make_shared<Connection>(ioContext);
        listenAcceptor.async_accept(c->socket, [this, c](const std::error_code& ec) {
            if (ec)
                return;
            acceptedConnections.push_back(c);
            read(c);
            if (static_cast<int>(acceptedConnections.size()) < expectedConnections)
                accept();
        });
    }

    void read(const std::shared_ptr<Connection>& c)
    {
        c->socket.async_read_some(asio::buffer(c->buffer), [this, c](const std::error_code& ec, std::size_t n) {
            c->data.insert(c->data.end(), c->buffer.begin(), c->buffer.begin() + n);
            receivedByteCount += n;
            if (!ec)
                read(c);
        });
    }

    int expectedConnections;
    asio::io_context ioContext;
    tcp::acceptor listenAcceptor{ioContext, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
    std::vector<std::shared_ptr<Connection>> acceptedConnections;
    std::atomic<std::size_t> receivedByteCount{0};
    std::thread ioThread;
};

} // namespace nettest
