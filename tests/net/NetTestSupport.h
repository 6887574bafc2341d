// SPDX-License-Identifier: MIT
#pragma once

// Helpers for tests of the network instance against a ScriptedPeer.

#include "ChannelLines.h"
#include "ScriptedPeer.h"
#include "api/ExportGuards.h"
#include "net/KTXNETInstance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ktremote::test {

// A TCP port on which nothing listens right now, as a data port word: the
// one the system picks for a socket bound to port 0.
inline std::string freeDataPort()
{
    asio::io_context context;
    asio::ip::tcp::acceptor probe(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
    return std::to_string(probe.local_endpoint().port());
}

// A network instance that connects quickly and lets tests reach the command
// exchange directly.
class TestNetInstance : public KTXNETInstance {
public:
    TestNetInstance() { setConnectPollInterval(std::chrono::milliseconds(50)); }

    using KTXNETInstance::commandSocketConnected;
    using KTXNETInstance::RefreshChannelList;
    using KTXNETInstance::Transact;
    using KTXNETInstance::TransactList;
};

// The application's side of Connect: a greeting line, then an answer to
// "SETMODE 1".
inline void greet(Session& session)
{
    session.send("+OK welcome\r\n");
    session.readLine();
    session.send("+OK\r\n");
}

// Answers every command line with answer(line) (line without "\r\n") until
// the library closes the connection. An empty answer sends nothing.
inline void serveCommands(Session& session, const std::function<std::string(const std::string&)>& answer)
{
    for (;;) {
        std::string line = session.readLine();
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
            return;
        line.resize(line.size() - 2);
        const std::string reply = answer(line);
        if (!reply.empty())
            session.send(reply);
    }
}

// A peer that greets and then answers every command with `answer`.
inline ScriptedPeer::Script application(std::function<std::string(const std::string&)> answer)
{
    return [answer = std::move(answer)](Session& session) {
        greet(session);
        serveCommands(session, answer);
    };
}

using Answer = std::function<std::string(const std::string&)>;

// Answers "LISTUSEDCHS DW" with a list of `lines`, the commands in `replies`
// with theirs, and everything else with "+OK".
inline Answer listing(std::vector<Line> lines, std::map<std::string, std::string> replies = {})
{
    return [list = listReply(lines), replies = std::move(replies)](const std::string& command) {
        if (command == "LISTUSEDCHS DW")
            return list;
        const auto found = replies.find(command);
        return found != replies.end() ? found->second : std::string("+OK\r\n");
    };
}

// A network instance connected to a scripted application.
struct ConnectedInstance {
    explicit ConnectedInstance(Answer answer)
        : peer(application(std::move(answer))), instance(std::make_unique<TestNetInstance>())
    {
        EXPECT_EQ(instance->Connect(peer.connectText().c_str()), KX_OK);
    }

    ::KTXInstance* handle() { return handleOf(instance.get()); }

    // Fetches the channel list.
    void refresh()
    {
        size_t count = 0;
        EXPECT_EQ(ktconGetChannelCount(handle(), &count), KX_OK);
    }

    // What the library sent after connecting; ends the connection first.
    std::string sentAfterConnect()
    {
        instance.reset();
        const std::string all = peer.received();
        const std::string connect = "SETMODE 1\r\n";
        return all.compare(0, connect.size(), connect) == 0 ? all.substr(connect.size()) : all;
    }

    ScriptedPeer peer;
    std::unique_ptr<TestNetInstance> instance;
};

} // namespace ktremote::test
