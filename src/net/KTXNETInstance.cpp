// SPDX-License-Identifier: MIT
#include "KTXNETInstance.h"

#include "BriefSpin.h"
#include "ChannelList.h"
#include "ConnectionText.h"
#include "NETCommandConnection.h"
#include "NETDataReceiver.h"
#include "NETSession.h"
#include "api/Failure.h"
#include "api/InstanceFactory.h"
#include "ktremote.h"

#include <asio/ip/tcp.hpp>

#include <future>
#include <thread>
#include <vector>

namespace ktremote {

namespace {

constexpr int connectPolls = 10;
constexpr const char* lineEnd = "\r\n";

std::string takeReply(std::future<std::string> reply)
{
    spinBrieflyOn(reply);
    // A failure the I/O thread set is thrown on as a copy, made while this
    // call still holds the reply's shared state (a shared future keeps it
    // through get(); a plain one lets go inside get()). Later reads touch
    // only the copy, and the release of the shared state orders this read
    // before the I/O thread frees the original. The reference count inside
    // the C++ runtime orders it too, but ThreadSanitizer cannot see it.
    const std::shared_future<std::string> shared = reply.share();
    try {
        return shared.get();
    } catch (const ReplyTimedOut& timedOut) {
        throw ReplyTimedOut(timedOut);
    } catch (const Failure& failure) {
        throw Failure(failure);
    } catch (const std::future_error&) {
        raise(KX_ERR_NO_COMMAND_CONNECTION, "the command connection is closed");
    }
}

} // namespace

KTXNETInstance::KTXNETInstance() = default;

KTXNETInstance::~KTXNETInstance() { replaceSession(nullptr); }

int KTXNETInstance::Connect(const char* connection)
{
    std::vector<std::string> words = splitWords(connection);
    if (words.size() != 3) {
        lastFailure.record("the connection text is not three words: host, command port and data port");
        return KX_ERR_BAD_ADDRESS;
    }
    // The data port must be one the listener can open and the application
    // can connect to; a word such as "99999" would otherwise be listened on
    // by its low 16 bits while the application refuses it, and the start
    // would report success for a measurement that can deliver nothing.
    if (!parseTcpPort(words[2])) {
        lastFailure.record("the data port is not a TCP port number from 1 to 65535");
        return KX_ERR_BAD_ADDRESS;
    }

    // A connection made by an earlier Connect is closed and its thread ended
    // before a new one is made.
    replaceSession(nullptr);
    host = hostFromWord(words[0]);
    commandPort = std::move(words[1]);
    dataPort = std::move(words[2]);

    const auto next = std::make_shared<NETSession>();
    // Every address of the host, of both families, even where this machine
    // has no IPv6 address but loopback (the application may listen on ::1
    // only); a family that cannot be reached fails at once and the next
    // address is tried. The port may be a number or a service name.
    asio::ip::tcp::resolver resolver(next->context());
    std::error_code error;
    const auto resolved = resolver.resolve(host, commandPort, asio::ip::resolver_base::flags(), error);
    if (error)
        raise(KX_ERR_NO_COMMAND_CONNECTION, "the application's host or command port cannot be resolved");

    NETCommandConnection& command = next->command();
    command.connect(std::vector<asio::ip::tcp::endpoint>(resolved.begin(), resolved.end()));
    next->startThread();
    // In place at once, so that a Disconnect from another thread ends the
    // attempt.
    replaceSession(next);

    // A Disconnect or Destroy from another thread takes the session away or
    // closes it: the attempt ends then too.
    bool up = false;
    for (int poll = 0; poll < connectPolls && !up && currentSession() == next; ++poll) {
        std::this_thread::sleep_for(connectPollInterval);
        up = command.socketConnected.load();
    }
    // A failed attempt leaves nothing behind: no socket that might still
    // connect, no thread.
    if (!up) {
        replaceSession(nullptr);
        lastFailure.record("the application did not accept the command connection in time");
        return KX_ERR_NO_COMMAND_CONNECTION;
    }

    // The application greets a new connection with one line; it is not the
    // reply to anything. A peer that accepts but never greets is not the
    // application (a wrong port, another service): the wait ends after
    // replyTimeLimit.
    try {
        takeReply(command.awaitReply(ReplyEnd::line(), replyTimeLimit));
        Transact("SETMODE 1");
    } catch (const ReplyTimedOut&) {
        replaceSession(nullptr);
        lastFailure.record("the peer at the command port sent no greeting in time: it is not the application");
        return KX_ERR_NO_COMMAND_CONNECTION;
    } catch (...) {
        replaceSession(nullptr);
        throw;
    }
    connected = true;
    mode = 1;
    return KX_OK;
}

int KTXNETInstance::Disconnect()
{
    const std::shared_ptr<NETSession> current = requireSession();
    // Whatever becomes of "EXIT", the connection closes, and so do the data
    // listener and the data connections: the port is free for the next
    // instance, and the values already received stay readable. A call that
    // another thread is still waiting in is released before "EXIT" goes out
    // (see NETCommandConnection::finish).
    try {
        takeReply(current->command().finish(std::string("EXIT") + lineEnd, ReplyEnd::line(), replyTimeLimit));
    } catch (...) {
        current->close();
        throw;
    }
    current->close();
    return KX_OK;
}

void KTXNETInstance::interrupt() noexcept { replaceSession(nullptr); }

void KTXNETInstance::releaseResources()
{
    replaceSession(nullptr);
    KTXInstance::releaseResources();
}

void KTXNETInstance::SendCommand(const std::string& command, std::string& reply) { reply = Transact(command); }

std::string KTXNETInstance::Transact(const std::string& command) { return exchange(command, ReplyEnd::line()); }

std::string KTXNETInstance::TransactList(const std::string& command) { return exchange(command, ReplyEnd::list()); }

std::string KTXNETInstance::exchange(const std::string& command, const ReplyEnd& end)
{
    const std::shared_ptr<NETSession> current = requireSession();
    // The command goes out unchanged; a text with line breaks of its own
    // makes several lines, and still only one reply is awaited.
    return takeReply(current->command().exchangeAndWait(command + lineEnd, end));
}

bool KTXNETInstance::commandSocketConnected() const
{
    const std::shared_ptr<NETSession> current = currentSession();
    return current && current->command().socketConnected.load();
}

std::shared_ptr<NETSession> KTXNETInstance::currentSession() const
{
    std::lock_guard<std::mutex> lock(sessionLock);
    return session;
}

std::shared_ptr<NETSession> KTXNETInstance::requireSession() const
{
    std::shared_ptr<NETSession> current = currentSession();
    if (!current)
        raise(KX_ERR_NO_COMMAND_CONNECTION, "there is no command connection");
    return current;
}

std::shared_ptr<NETSession> KTXNETInstance::replaceSession(std::shared_ptr<NETSession> next)
{
    {
        std::lock_guard<std::mutex> lock(sessionLock);
        next.swap(session);
    }
    // The previous session's sockets close now; its thread ends when the
    // last operation that still holds it returns (here, usually).
    if (next)
        next->close();
    return next;
}

KTXNETInstance::ReceiverHold KTXNETInstance::holdReceiver() const
{
    ReceiverHold hold{currentSession(), nullptr};
    if (hold.session)
        hold.receiver = hold.session->receiver();
    return hold;
}

uint64_t KTXNETInstance::refusedDataConnections() const
{
    const ReceiverHold hold = holdReceiver();
    return hold.receiver ? hold.receiver->refusedConnections() : 0;
}

KTXInstance* createNetworkInstance() { return new KTXNETInstance(); }

} // namespace ktremote
