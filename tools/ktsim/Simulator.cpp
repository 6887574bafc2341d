// SPDX-License-Identifier: MIT
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
    : ioContext(io), simOptions(std::move(options)),
      application(std::move(setup), chooseSeed(simOptions), simOptions.storeDir), commandAcceptor(io), timer(io)
{
    if (!simOptions.logFile.empty())
        eventLog.toFile(simOptions.logFile);
    eventLog.toStderr(simOptions.verbose);
    auto endpoint = listenEndpoint(simOptions);
    commandAcceptor.open(endpoint.protocol());
    commandAcceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    commandAcceptor.bind(endpoint);
    commandAcceptor.listen();
}

Simulator::~Simulator() = default;

void Simulator::start()
{
    const Setup& setup = application.model()->setup();
    eventLog.line("setup " + setup.name + " with " + std::to_string(setup.channels.size()) + " channels, seed " +
                  std::to_string(application.seed()) + (simOptions.burst ? ", burst" : "") + ", packets of " +
                  std::to_string(simOptions.packetMs) + " ms");
    for (const std::string& fault : simOptions.faultSpecs)
        eventLog.line("fault " + fault);
    accept();
    nextTick = std::chrono::steady_clock::now();
    tick();
}

void Simulator::accept()
{
    auto session = std::make_shared<CommandSession>(*this, nextConnectionNumber());
    commandAcceptor.async_accept(session->socket(), [this, session](const std::error_code& ec) {
        if (stopRequested)
            return;
        if (!ec) {
            std::error_code ignored;
            session->socket().set_option(asio::ip::tcp::no_delay(true), ignored);
            sessions.push_back(session);
            session->start();
        } else {
            eventLog.line("accept failed: " + ec.message());
        }
        accept();
    });
}

void Simulator::tick()
{
    if (stopRequested)
        return;
    auto now = Application::Clock::now();
    application.pumpStore(now);
    for (auto it = sessions.begin(); it != sessions.end();) {
        if (auto session = it->lock()) {
            session->tick();
            ++it;
        } else {
            it = sessions.erase(it);
        }
    }
    dataStreams.erase(std::remove_if(dataStreams.begin(), dataStreams.end(), [](const auto& w) { return w.expired(); }),
                      dataStreams.end());
    // Fixed deadlines keep the pacing from drifting; after a stall the clock
    // skips ahead instead of firing a burst of ticks.
    nextTick += std::chrono::milliseconds(simOptions.packetMs);
    if (nextTick < now)
        nextTick = now + std::chrono::milliseconds(simOptions.packetMs);
    timer.expires_at(nextTick);
    timer.async_wait([this](const std::error_code& ec) {
        if (!ec)
            tick();
    });
}

void Simulator::requestStop()
{
    asio::post(ioContext, [this] { stop(); });
}

void Simulator::stop()
{
    if (stopRequested)
        return;
    stopRequested = true;
    eventLog.line("stopping");
    std::error_code ignored;
    commandAcceptor.close(ignored);
    timer.cancel();
    for (auto& weak : sessions)
        if (auto session = weak.lock())
            session->close();
    sessions.clear();
    for (auto& weak : dataStreams)
        if (auto stream = weak.lock())
            stream->close();
    dataStreams.clear();
    application.stopStore(Application::Clock::now());
    if (stoppedCallback)
        stoppedCallback();
}

} // namespace ktsim
