// SPDX-License-Identifier: MIT
#include "NETIoThread.h"

namespace ktremote {

NETIoThread::NETIoThread() : workGuard(asio::make_work_guard(ioContext)) {}

NETIoThread::~NETIoThread() { stop(); }

void NETIoThread::start()
{
    thread = std::thread([this] { run(); });
}

void NETIoThread::stop()
{
    workGuard.reset();
    ioContext.stop();
    if (thread.joinable())
        thread.join();
}

void NETIoThread::run()
{
    // A handler that throws must not end the process: the exception leaves
    // run(), which may simply be entered again.
    for (;;) {
        try {
            ioContext.run();
            return;
        } catch (...) {
        }
    }
}

} // namespace ktremote
