// SPDX-License-Identifier: MIT
// What ktcli stream asks of the application: start a measurement, watch
// that the application still answers, stop, and, after the application was
// lost, find it again and start anew (--reconnect).
//
// Every call on the instance goes through commands(), also those of the
// thread that stops the application after a late signal, so that the
// instance is used by one thread at a time.
#pragma once

#include "Connection.h"
#include "StreamChannels.h"
#include "StreamOptions.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace ktcli {

class StreamSession {
public:
    using Clock = std::chrono::steady_clock;

    StreamSession(Connection& connection, std::vector<StreamedChannel>& channels, const StreamOptions& options);

    // Starts a measurement and checks that the application acquires; throws
    // Failure (after stopping what may have started).
    void start();
    // Stops it; "" or why the stop failed.
    std::string stop();

    // Asks the application's state about once a second; false once it did
    // not answer, lostReason() saying why.
    bool check();
    const std::string& lostReason() const { return failureReason; }

    // After a loss: waits until the application accepts connections again,
    // connects, checks the channels and starts anew. True once it acquires;
    // false when `giveUp` passed or a signal came first. Throws Failure(0)
    // when a recorded channel is gone or changed.
    bool recover(Clock::time_point giveUp);

    // For the thread of a late signal: stops the measurement, waiting at
    // most two seconds for the instance; whether the application stopped.
    bool stopFromSignal();

    std::timed_mutex& commands() { return commandLock; }

private:
    // Connects and starts; false when the application refused or went away
    // again on the way.
    bool startAgain(Clock::time_point giveUp);

    Connection& link;
    ktremote::Instance& app;
    std::vector<StreamedChannel>& streamedChannels;
    const StreamOptions& streamOptions;
    std::timed_mutex commandLock;
    Clock::time_point nextCheck;
    std::string failureReason;
};

// Starting would stop the measurement that runs now, someone else's
// perhaps: throws Failure unless --force was given.
void refuseRunningMeasurement(ktremote::Instance& app, const StreamOptions& options);

// Whether something accepts a TCP connection at host:port within a second;
// the connection is closed at once. Much cheaper than a connect of the
// library, which waits about 20 s where nothing listens.
bool acceptsConnections(const std::string& host, const std::string& port);

// "2026-12-10 11:42:05", local time, for the messages of a long recording.
std::string timeNow();

// Waits until `until`, a signal comes, or `limit` passed; false after a
// signal.
bool pauseUnlessSignalled(StreamSession::Clock::time_point until, std::chrono::milliseconds limit);

} // namespace ktcli
