// SPDX-License-Identifier: MIT
#include "Connection.h"
#include "PortProbe.h"

#include <algorithm>

namespace ktcli {

namespace {

void requireWord(const std::string& text, const char* option)
{
    if (text.empty() || text.find_first_of(" \t\r\n") != std::string::npos)
        throw UsageError(std::string("--") + option + " must be one word, not \"" + text + "\"");
}

ktremote::Instance networkInstance()
{
    return request("cannot create a network instance", [] { return ktremote::Instance::network(); });
}

} // namespace

Connection::Connection(const Arguments& arguments) : appInstance(networkInstance())
{
    const std::string host = arguments.text("host", "localhost");
    const std::string port = arguments.text("port", "8999");
    dataPortText = arguments.text("data-port", "8001");
    requireWord(host, "host");
    requireWord(port, "port");
    requireWord(dataPortText, "data-port");
    whereText = host + ":" + port;
    hostText = host;
    portText = port;
    const std::string noAnswer = "no application answered at " + whereText + " (is it running, and is the port right?)";
    // The library's connect waits its whole poll for a port that refuses;
    // a plain connection tells at once. The code named is the one the
    // library's connect gives for a command connection it cannot open.
    const PortProbe probe = probePort(host, port, std::chrono::seconds(1));
    if (probe.outcome == PortProbe::Refused || probe.outcome == PortProbe::Unresolved)
        throw Failure(KX_ERR_NO_COMMAND_CONNECTION, noAnswer + ": " + probe.reason);
    try {
        appInstance.connect(host + " " + port + " " + dataPortText);
    } catch (const ktremote::Error& error) {
        const int code = error.value();
        if (code == KX_ERR_NO_COMMAND_CONNECTION || code == KX_ERR_NOT_CONNECTED)
            throw Failure(code, noAnswer);
        throw Failure(code, "cannot connect to " + whereText);
    }
}

void Connection::reconnect()
{
    idsKnown = false;
    channelIds.clear();
    names.clear();
    openedIds.clear();
    appInstance.connect(hostText + " " + portText + " " + dataPortText);
}

const std::vector<std::string>& Connection::ids()
{
    if (!idsKnown) {
        channelIds = request("cannot list the application's channels", [&] { return appInstance.enumerateChannels(); });
        idsKnown = true;
    }
    return channelIds;
}

OpenChannel Connection::describe(ktremote::Channel channel, std::string id)
{
    OpenChannel open;
    open.id = std::move(id);
    open.name = request("cannot read the name of channel " + open.id, [&] { return channel.name(); });
    open.unit = request("cannot read the unit of channel " + open.id, [&] { return channel.unit(); });
    open.type = request("cannot read the type of channel " + open.id, [&] { return channel.type(); });
    open.control = request("cannot read the control flag of channel " + open.id, [&] { return channel.isControl(); });
    open.channel = std::move(channel);
    return open;
}

std::string Connection::idOfName(const std::string& name)
{
    if (names.empty()) {
        // Opening a channel marks it for transfer: each one opened only to
        // read its name is unmarked again, unless the caller opened it.
        for (const std::string& id : ids()) {
            ktremote::Channel probe = request("cannot open channel " + id, [&] { return appInstance.channel(id); });
            names.emplace_back(request("cannot read the name of channel " + id, [&] { return probe.name(); }), id);
            if (std::find(openedIds.begin(), openedIds.end(), id) == openedIds.end())
                request("cannot open channel " + id, [&] { probe.setTransferred(false); });
        }
    }
    for (const auto& [channelName, id] : names)
        if (channelName == name)
            return id;
    return "";
}

OpenChannel Connection::open(const std::string& key)
{
    const std::vector<std::string>& known = ids();
    if (std::find(known.begin(), known.end(), key) != known.end()) {
        OpenChannel open =
            describe(request("cannot open channel " + key, [&] { return appInstance.channel(key); }), key);
        openedIds.push_back(key);
        return open;
    }
    try {
        const std::string id = idOfName(key);
        OpenChannel open = describe(appInstance.channelByName(key), id.empty() ? key : id);
        openedIds.push_back(open.id);
        return open;
    } catch (const ktremote::Error& error) {
        if (error.value() == KX_ERR_CHANNEL_NOT_FOUND)
            throw Failure(error.value(), "the application has no channel named or with the id \"" + key + "\"");
        throw Failure(error.value(), "cannot open channel " + key);
    }
}

std::vector<OpenChannel> Connection::openAll()
{
    std::vector<OpenChannel> channels;
    for (const std::string& id : ids())
        channels.push_back(describe(request("cannot open channel " + id, [&] { return appInstance.channel(id); }), id));
    return channels;
}

const char* typeName(ktremote::ChannelType type)
{
    switch (type) {
    case ktremote::ChannelType::Async: return "async";
    case ktremote::ChannelType::Sync: return "sync";
    case ktremote::ChannelType::SingleValue: return "single";
    }
    return "?";
}

} // namespace ktcli
