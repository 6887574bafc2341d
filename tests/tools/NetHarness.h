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
        socket_.connect(endpoint);
        socket_.set_option(tcp::no_delay(true));
    }

    // Everything up to and including `delimiter`, "(closed)" when the
    // connection ends first, "(timeout)" when nothing comes.
    std::string readUntil(const std::string& delimiter, std::chrono::milliseconds limit = 10s)
    {
        std::string result = "(timeout)";
        asio::async_read_until(socket_, buffer_, delimiter, [&](const std::error_code& ec, std::size_t n) {
            if (ec) {
                result = "(closed)";
                return;
            }
            result.assign(asio::buffers_begin(buffer_.data()), asio::buffers_begin(buffer_.data()) + n);
            buffer_.consume(n);
        });
        io_.restart();
        io_.run_for(limit);
        if (!io_.stopped()) {
            socket_.cancel();
            io_.restart();
            io_.run();
            result = "(timeout)";
        }
        return result;
    }

    std::string line() { return readUntil("\r\n"); }

    void write(const std::string& text) { asio::write(socket_, asio::buffer(text)); }

    // Sends a command the way the library does, one byte per write.
    std::string command(const std::string& text)
    {
        for (char c : text + "\r\n")
            asio::write(socket_, asio::buffer(&c, 1));
        return line();
    }

    // Bytes received beyond the last reply.
    std::string leftover() const
    {
        return std::string(asio::buffers_begin(buffer_.data()), asio::buffers_end(buffer_.data()));
    }

private:
    asio::io_context io_;
    tcp::socket socket_{io_};
    asio::streambuf buffer_;
};

// Accepts `expected` data connections and reads each to its end.
class DataSink {
public:
    explicit DataSink(int expected = 1) : expected_(expected)
    {
        accept();
        thread_ = std::thread([this] { io_.run_for(30s); });
    }
    ~DataSink()
    {
        io_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

    // Waits until at least `bytes` arrived; false after the time limit.
    bool waitFor(std::size_t bytes, std::chrono::seconds limit = 20s)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (received_.load() < bytes) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    // Waits for every connection to end; then the data can be read.
    void join() { thread_.join(); }
    const std::vector<std::uint8_t>& data(std::size_t connection = 0) const
    {
        return connections_.at(connection)->data;
    }
    std::size_t connectionCount() const { return connections_.size(); }

private:
    struct Connection {
        explicit Connection(asio::io_context& io) : socket(io) {}
        tcp::socket socket;
        std::vector<std::uint8_t> data;
        std::array<std::uint8_t, 65536> buffer{};
    };

    void accept()
    {
        auto c = std::make_shared<Connection>(io_);
        acceptor_.async_accept(c->socket, [this, c](const std::error_code& ec) {
            if (ec)
                return;
            connections_.push_back(c);
            read(c);
            if (static_cast<int>(connections_.size()) < expected_)
                accept();
        });
    }

    void read(const std::shared_ptr<Connection>& c)
    {
        c->socket.async_read_some(asio::buffer(c->buffer), [this, c](const std::error_code& ec, std::size_t n) {
            c->data.insert(c->data.end(), c->buffer.begin(), c->buffer.begin() + n);
            received_ += n;
            if (!ec)
                read(c);
        });
    }

    int expected_;
    asio::io_context io_;
    tcp::acceptor acceptor_{io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
    std::vector<std::shared_ptr<Connection>> connections_;
    std::atomic<std::size_t> received_{0};
    std::thread thread_;
};

} // namespace nettest
