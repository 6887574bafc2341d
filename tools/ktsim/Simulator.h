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

    asio::ip::tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
    std::uint64_t seed() const { return app_.seed(); }

    // Starts accepting and pacing. Call before running the io_context.
    void start();
    // Closes every connection and the listener; io_context::run() returns
    // once they are gone. Safe from any thread.
    void requestStop();
    // Runs on the io_context thread once the simulator has stopped, to
    // release whatever else keeps the io_context busy (signal handlers).
    void onStopped(std::function<void()> callback) { onStopped_ = std::move(callback); }

    Application& app() { return app_; }
    Log& log() { return log_; }
    const Options& options() const { return options_; }
    asio::io_context& io() { return io_; }
    int nextConnectionNumber() { return ++connections_; }
    // Data connections to close when the simulator stops.
    void track(std::weak_ptr<Connection> connection) { streams_.push_back(std::move(connection)); }

private:
    void accept();
    void tick();
    void stop();

    asio::io_context& io_;
    Options options_;
    Log log_;
    Application app_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer timer_;
    std::chrono::steady_clock::time_point nextTick_;
    std::vector<std::weak_ptr<CommandSession>> sessions_;
    std::vector<std::weak_ptr<Connection>> streams_;
    int connections_ = 0;
    bool stopped_ = false;
    std::function<void()> onStopped_;
};

} // namespace ktsim
