// SPDX-License-Identifier: MIT
#pragma once

#include "NETCommandConnection.h"
#include "NETIoThread.h"

#include <memory>
#include <mutex>

namespace ktremote {

class NETDataReceiver;

// The network side of one Connect: the I/O thread with its context, the
// command connection, and the data receiver of the latest start of a
// measurement.
//
// A session is held by shared pointer. The instance holds its current one,
// and every operation that uses it holds it too while it runs, so a
// Disconnect, a Destroy or a new Connect from another thread never frees
// what an operation still uses. The last holder stops and joins the I/O
// thread, then frees the receiver and the connection, whose handlers refer
// to them.
class NETSession {
public:
    NETSession();
    ~NETSession();

    NETSession(const NETSession&) = delete;
    NETSession& operator=(const NETSession&) = delete;

    asio::io_context& context() { return io.context(); }
    NETCommandConnection& command() { return *commandConnection; }

    // Starts the I/O thread. Called once, after the connection was asked to
    // connect.
    void startThread() { io.start(); }

    // The receiver of the latest start, or null before one. The pointer keeps
    // it alive; drop it before the session.
    std::shared_ptr<NETDataReceiver> receiver() const;

    // Takes the current receiver away, shut down, so that its listener no
    // longer holds the data port.
    void dropReceiver() noexcept;

    // Makes `next` (listening already) the current receiver. Once close()
    // ran, `next` is shut down instead and a Failure is raised: a Disconnect
    // that came while the measurement started must not leave it listening.
    void setReceiver(std::shared_ptr<NETDataReceiver> next);

    // Closes the command connection and shuts the current receiver down;
    // its buffered values stay readable. Any thread; harmless when repeated.
    void close() noexcept;

private:
    NETIoThread io;
    std::unique_ptr<NETCommandConnection> commandConnection;

    // Guards the members below it.
    mutable std::mutex receiverLock;
    std::shared_ptr<NETDataReceiver> dataReceiver;
    bool closed = false;
};

} // namespace ktremote
