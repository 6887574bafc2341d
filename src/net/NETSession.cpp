// SPDX-License-Identifier: MIT
#include "NETSession.h"

#include "NETDataReceiver.h"
#include "api/Failure.h"
#include "ktremote.h"

namespace ktremote {

NETSession::NETSession() : commandConnection(std::make_unique<NETCommandConnection>(io.context())) {}

NETSession::~NETSession()
{
    // Handlers that never ran are destroyed with the context; those that
    // refer to the receiver keep its parts alive by themselves, those of the
    // connection do not, so the thread ends first.
    io.stop();
    dataReceiver.reset();
    commandConnection.reset();
}

std::shared_ptr<NETDataReceiver> NETSession::receiver() const
{
    std::lock_guard<std::mutex> lock(receiverLock);
    return dataReceiver;
}

void NETSession::dropReceiver() noexcept
{
    std::shared_ptr<NETDataReceiver> previous;
    {
        std::lock_guard<std::mutex> lock(receiverLock);
        previous.swap(dataReceiver);
    }
    // Another thread may still hold it for a moment (a Disconnect): it is
    // shut down here all the same, so the data port is free for the next
    // listener.
    if (previous)
        previous->shutdown();
}

void NETSession::setReceiver(std::shared_ptr<NETDataReceiver> next)
{
    {
        std::lock_guard<std::mutex> lock(receiverLock);
        if (!closed) {
            dataReceiver = std::move(next);
            return;
        }
    }
    next->shutdown();
    raise(KX_ERR_NO_COMMAND_CONNECTION, "the instance was disconnected while the measurement started");
}

void NETSession::close() noexcept
{
    std::shared_ptr<NETDataReceiver> current;
    {
        std::lock_guard<std::mutex> lock(receiverLock);
        closed = true;
        current = dataReceiver;
    }
    commandConnection->close();
    if (current)
        current->shutdown();
}

} // namespace ktremote
