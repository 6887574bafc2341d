// SPDX-License-Identifier: MIT
// One connection to the application, made with --host, --port and
// --data-port through the C++ wrapper, and the channels ktcli opens on it.
#pragma once

#include "Cli.h"
#include "ktremote.hpp"

#include <string>
#include <utility>
#include <vector>

namespace ktcli {

// Runs a library request; a failure becomes Failure(code, `what`).
template <class Request>
auto request(const std::string& what, Request&& call) -> decltype(call())
{
    try {
        return call();
    } catch (const ktremote::Error& error) {
        throw Failure(error.value(), what);
    }
}

// An open channel with what ktcli shows of it, read once.
struct OpenChannel {
    ktremote::Channel channel;
    std::string id;
    std::string name;
    std::string unit;
    ktremote::ChannelType type = ktremote::ChannelType::Sync;
    bool control = false;
};

class Connection {
public:
    // Connects; throws Failure with the code of the step that failed when
    // no application answers: at once when the command port refuses the
    // connection, else after the library's limit for the command
    // connection (about 20 s).
    explicit Connection(const Arguments& arguments);

    ktremote::Instance& instance() { return appInstance; }
    const std::string& where() const { return whereText; }
    const std::string& dataPort() const { return dataPortText; }
    const std::string& host() const { return hostText; }
    const std::string& port() const { return portText; }

    // Connects the same instance again, after the application was lost;
    // channels are then opened anew. Throws ktremote::Error.
    void reconnect();

    // Opens the channel whose id is `key`, else the first one named `key`.
    // Opening a channel marks it for transfer.
    OpenChannel open(const std::string& key);
    // Opens every channel of the current setup, in list order.
    std::vector<OpenChannel> openAll();

private:
    const std::vector<std::string>& ids();
    // The id of the first channel named `name`, as opening by name picks
    // it; empty when none is.
    std::string idOfName(const std::string& name);
    OpenChannel describe(ktremote::Channel channel, std::string id);

    ktremote::Instance appInstance;
    std::string whereText;
    std::string dataPortText;
    std::string hostText;
    std::string portText;
    std::vector<std::string> channelIds;
    bool idsKnown = false;
    std::vector<std::pair<std::string, std::string>> names; // name, id in list order
    std::vector<std::string> openedIds;                     // ids opened for the caller
};

// The type as a word: "sync", "async" or "single".
const char* typeName(ktremote::ChannelType type);

} // namespace ktcli
