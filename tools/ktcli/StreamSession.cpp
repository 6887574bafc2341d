// SPDX-License-Identifier: MIT
#include "StreamSession.h"

#include "Signals.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ktcli {

namespace {

using namespace std::chrono_literals;

// How often the application is asked whether it is still there.
constexpr auto watchInterval = 1s;
// A state request that fails after this long failed for want of an answer;
// one that fails sooner found the connection closed.
constexpr auto silentAfter = 5s;
// How often a lost application is looked for.
constexpr auto lookInterval = 500ms;
// How often an application that runs someone else's measurement is asked
// whether it ended.
constexpr auto takeoverInterval = 1s;

} // namespace

std::string timeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

bool acceptsConnections(const std::string& host, const std::string& port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
        return false;
    bool accepted = false;
    for (addrinfo* at = found; at != nullptr && !accepted; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0)
            continue;
        if (::connect(fd, at->ai_addr, at->ai_addrlen) == 0) {
            accepted = true;
        } else if (errno == EINPROGRESS) {
            pollfd wait{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            accepted = ::poll(&wait, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return accepted;
}

bool pauseUnlessSignalled(StreamSession::Clock::time_point until, std::chrono::milliseconds limit)
{
    const auto end = std::min(until, StreamSession::Clock::now() + limit);
    while (StreamSession::Clock::now() < end) {
        if (signals::noted() != 0)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return signals::noted() == 0;
}

StreamSession::StreamSession(Connection& connection, std::vector<StreamedChannel>& channels,
                             const StreamOptions& options)
    : link(connection), app(connection.instance()), streamedChannels(channels), streamOptions(options)
{
}

void refuseRunningMeasurement(ktremote::Instance& app, const StreamOptions& options)
{
    if (!options.force && request("cannot ask whether the application acquires", [&] { return app.isAcquiring(); }))
        throw Failure(0, "the application is already measuring; `ktcli stop` ends that measurement, or use --force");
}

void StreamSession::start()
{
    std::lock_guard<std::timed_mutex> hold(commandLock);
    if (streamOptions.bufferSize)
        request("cannot set the buffer size", [&] { app.setBufferSize(*streamOptions.bufferSize); });
    auto stopQuietly = [&] {
        try {
            app.stopMeasurement();
        } catch (const ktremote::Error&) {
        }
    };
    // From here on the application may acquire because of ktcli.
    signals::setMeasuring(true);
    try {
        app.startMeasurement();
    } catch (const ktremote::Error& error) {
        // A start that failed half-way may have started the transfer.
        stopQuietly();
        signals::setMeasuring(false);
        throw Failure(error.value(), "cannot start the measurement");
    }
    // An application that answered every step of the start but does not
    // acquire shows here.
    bool acquiring = false;
    try {
        acquiring = app.isAcquiring();
    } catch (const ktremote::Error& error) {
        stopQuietly();
        signals::setMeasuring(false);
        throw Failure(error.value(), "cannot ask whether the application acquires");
    }
    if (!acquiring) {
        stopQuietly();
        signals::setMeasuring(false);
        throw Failure(KX_ERR_FAILED,
                      "the application did not start acquiring (is data port " + link.dataPort() +
                          " free on this machine?)");
    }
    nextCheck = Clock::now() + watchInterval;
    failureReason.clear();
}

std::string StreamSession::stop()
{
    std::lock_guard<std::timed_mutex> hold(commandLock);
    std::string problem;
    try {
        app.stopMeasurement();
    } catch (const ktremote::Error& error) {
        problem = std::string("cannot stop the measurement (") + error.name() + ")";
    }
    signals::setMeasuring(false);
    return problem;
}

bool StreamSession::check()
{
    const Clock::time_point asked = Clock::now();
    if (asked < nextCheck)
        return true;
    std::lock_guard<std::timed_mutex> hold(commandLock);
    try {
        app.state();
    } catch (const ktremote::Error&) {
        const auto waited = Clock::now() - asked;
        if (waited >= silentAfter) {
            const long seconds = std::lround(std::chrono::duration<double>(waited).count());
            failureReason = "no answer from the application for " + std::to_string(seconds) + " s";
        } else {
            failureReason = "the application closed the connection";
        }
        return false;
    }
    nextCheck = Clock::now() + watchInterval;
    return true;
}

bool StreamSession::recover(Clock::time_point giveUp)
{
    while (Clock::now() < giveUp && signals::noted() == 0) {
        if (acceptsConnections(link.host(), link.port()) && startAgain(giveUp))
            return true;
        if (!pauseUnlessSignalled(giveUp, lookInterval))
            return false;
    }
    return false;
}

bool StreamSession::startAgain(Clock::time_point giveUp)
{
    std::unique_lock<std::timed_mutex> hold(commandLock);
    try {
        link.reconnect();
        reopenChannels(link, streamedChannels);
        bool told = false;
        while (!streamOptions.force && app.isAcquiring()) {
            if (!told)
                std::fprintf(stderr,
                             "ktcli stream: %s: the application is back but already measuring; waiting for that "
                             "measurement to end (--force takes it over)\n",
                             timeNow().c_str());
            told = true;
            hold.unlock();
            if (!pauseUnlessSignalled(giveUp, takeoverInterval) || Clock::now() >= giveUp)
                return false;
            hold.lock();
        }
    } catch (const ktremote::Error&) {
        return false;
    } catch (const Failure& failure) {
        if (failure.code() == 0)
            throw;
        return false;
    }
    hold.unlock();
    try {
        start();
    } catch (const Failure&) {
        return false;
    }
    return true;
}

bool StreamSession::stopFromSignal()
{
    std::unique_lock<std::timed_mutex> hold(commandLock, std::chrono::seconds(2));
    if (!hold.owns_lock())
        return false;
    try {
        app.stopMeasurement();
        return !app.isAcquiring();
    } catch (const ktremote::Error&) {
        return false;
    }
}

} // namespace ktcli
