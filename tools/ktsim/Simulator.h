// SPDX-License-Identifier: MIT
// The simulator's network side: listens for command connections, answers
// them and streams data, all on one io_context thread.
//
// Embedding it in a test:
//
//   asio::io_context io;
//   ktsim::Options options;  options.port = 0;  options.seed = 1;
//   ktsim::Simulator sim(io, options, ktsim::loadSetup("builtin:clean"));
//   sim.start();
//   std::thread thread([&] { io.run(); });
//   ... connect to sim.endpoint() ...
//   sim.requestStop();  thread.join();
#pragma once

#include "Application.h"
#include "Log.h"
#include "Options.h"

#include <asio.hpp>

#include <functional>
#include <memory>
#include <vector>

namespace ktsim {

class CommandSession;
class Connection;

class Simulator {
public:
    // Binds the listening socket; throws std::system_error when it cannot.
    // The seed is options.seed, or a random one when that is empty.
    Simulator(asio::io_context& io, Options options, Setup setup);
    ~Simulator();

    asio::ip::tcp::endpoint endpoint() const { return commandAcceptor.local_endpoint(); }
    std::uint64_t seed() const { return application.seed(); }

    // Starts accepting and pacing. Call before running the io_context.
    void start();
    // Closes every connection and the listener; io_context::run() returns
    // once they are gone. Safe from any thread.
    void requestStop();
    // Runs on the io_context thread once the simulator has stopped, to
    // release whatever else keeps the io_context busy (signal handlers).
    void onStopped(std::function<void()> callback) { stoppedCallback = std::move(callback); }

    Application& app() { return application; }
    Log& log() { return eventLog; }
    const Options& options() const { return simOptions; }
    asio::io_context& io() { return ioContext; }
    int nextConnectionNumber() { return ++connectionCount; }
    // Data connections to close when the simulator stops.
    void track(std::weak_ptr<Connection> connection) { dataStreams.push_back(std::move(connection)); }

private:
    void accept();
    void tick();
    void stop();

    asio::io_context& ioContext;
    Options simOptions;
    Log eventLog;
    Application application;
    asio::ip::tcp::acceptor commandAcceptor;
    asio::steady_timer timer;
    std::chrono::steady_clock::time_point nextTick;
    std::vector<std::weak_ptr<CommandSession>> sessions;
    std::vector<std::weak_ptr<Connection>> dataStreams;
    int connectionCount = 0;
    bool stopRequested = false;
    std::function<void()> stoppedCallback;
};

} // namespace ktsim
