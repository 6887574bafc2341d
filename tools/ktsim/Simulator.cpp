#include "Simulator.h"

#include "CommandSession.h"

#include <algorithm>
#include <random>

namespace ktsim {
namespace {

std::uint64_t chooseSeed(const Options& options)
{
    if (options.seed)
        return *options.seed;
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

asio::ip::tcp::endpoint listenEndpoint(const Options& options)
{
    return asio::ip::tcp::endpoint(asio::ip::make_address(options.bind), options.port);
}

} // namespace

Simulator::Simulator(asio::io_context& io, Options options, Setup setup)
    : io_(io), options_(std::move(options)), app_(std::move(setup), chooseSeed(options_), options_.storeDir),
      acceptor_(io), timer_(io)
{
    if (!options_.logFile.empty())
        log_.toFile(options_.logFile);
    log_.toStderr(options_.verbose);
    auto endpoint = listenEndpoint(options_);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
}

Simulator::~Simulator() = default;

void Simulator::start()
{
    const Setup& setup = app_.model()->setup();
    log_.line("setup " + setup.name + " with " + std::to_string(setup.channels.size()) + " channels, seed " +
              std::to_string(app_.seed()) + (options_.burst ? ", burst" : "") + ", packets of " +
              std::to_string(options_.packetMs) + " ms");
    for (const std::string& fault : options_.faultSpecs)
        log_.line("fault " + fault);
    accept();
    nextTick_ = std::chrono::steady_clock::now();
    tick();
}

void Simulator::accept()
{
    auto session = std::make_shared<CommandSession>(*this, nextConnectionNumber());
    acceptor_.async_accept(session->socket(), [this, session](const std::error_code& ec) {
        if (stopped_)
            return;
        if (!ec) {
            std::error_code ignored;
            session->socket().set_option(asio::ip::tcp::no_delay(true), ignored);
            sessions_.push_back(session);
            session->start();
        } else {
            log_.line("accept failed: " + ec.message());
        }
        accept();
    });
}

void Simulator::tick()
{
    if (stopped_)
        return;
    auto now = Application::Clock::now();
    app_.pumpStore(now);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (auto session = it->lock()) {
            session->tick();
            ++it;
        } else {
            it = sessions_.erase(it);
        }
    }
    streams_.erase(std::remove_if(streams_.begin(), streams_.end(), [](const auto& w) { return w.expired(); }),
                   streams_.end());
    // Fixed deadlines keep the pacing from drifting; after a stall the clock
    // skips ahead instead of firing a burst of ticks.
    nextTick_ += std::chrono::milliseconds(options_.packetMs);
    if (nextTick_ < now)
        nextTick_ = now + std::chrono::milliseconds(options_.packetMs);
    timer_.expires_at(nextTick_);
    timer_.async_wait([this](const std::error_code& ec) {
        if (!ec)
            tick();
    });
}

void Simulator::requestStop()
{
    asio::post(io_, [this] { stop(); });
}

void Simulator::stop()
{
    if (stopped_)
        return;
    stopped_ = true;
    log_.line("stopping");
    std::error_code ignored;
    acceptor_.close(ignored);
    timer_.cancel();
    for (auto& weak : sessions_)
        if (auto session = weak.lock())
            session->close();
    sessions_.clear();
    for (auto& weak : streams_)
        if (auto stream = weak.lock())
            stream->close();
    streams_.clear();
    app_.stopStore(Application::Clock::now());
    if (onStopped_)
        onStopped_();
}

} // namespace ktsim
