// SPDX-License-Identifier: MIT
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <thread>

namespace ktremote {

// The I/O context of a network instance and the one thread that runs it.
// Every completion of the instance's sockets runs on that thread, one at a
// time. A work guard keeps the loop running while nothing is pending.
class NETIoThread {
public:
    NETIoThread();
    ~NETIoThread();

    NETIoThread(const NETIoThread&) = delete;
    NETIoThread& operator=(const NETIoThread&) = delete;

    asio::io_context& context() { return ioContext; }

    // Starts the thread. Called once.
    void start();

    // Stops the loop and waits for the thread to end. Handlers that have not
    // run by then never run; they are destroyed with the context. Objects
    // whose handlers are pending may be destroyed after this returns.
    void stop();

private:
    void run();

    asio::io_context ioContext;
    asio::executor_work_guard<asio::io_context::executor_type> workGuard;
    std::thread thread;
};

} // namespace ktremote
