// SPDX-License-Identifier: MIT
// ktcli state, stop, load-setup, store and write: one request each.

#include "Commands.h"
#include "Connection.h"

#include <cstdio>
#include <string>

namespace ktcli {

namespace {

const char* stateName(ktremote::State state)
{
    switch (state) {
    case ktremote::State::Setup: return "setup";
    case ktremote::State::Acquiring: return "acquiring";
    case ktremote::State::Stopped: return "stopped";
    case ktremote::State::Analysis: return "analysis";
    case ktremote::State::Unknown: break;
    }
    return "unknown";
}

} // namespace

int runState(const Arguments& arguments)
{
    const std::string format = choice(arguments, "format", {"text", "json"});
    Connection connection(arguments);
    ktremote::Instance& app = connection.instance();
    const ktremote::State state = request("cannot ask for the application's state", [&] { return app.state(); });
    const bool acquiring = request("cannot ask whether the application acquires", [&] { return app.isAcquiring(); });
    if (format == "json")
        std::printf("{\"state\": \"%s\", \"code\": %d, \"acquiring\": %s}\n", stateName(state), static_cast<int>(state),
                    acquiring ? "true" : "false");
    else
        std::printf("state      %s\nacquiring  %s\n", stateName(state), acquiring ? "yes" : "no");
    return 0;
}

int runStop(const Arguments& arguments)
{
    Connection connection(arguments);
    ktremote::Instance& app = connection.instance();
    request("cannot stop the application's measurement", [&] { app.stopMeasurement(); });
    const bool acquiring = request("cannot ask whether the application acquires", [&] { return app.isAcquiring(); });
    if (acquiring)
        throw Failure(KX_ERR_FAILED, "the application still acquires after the stop");
    std::printf("measurement stopped\n");
    return 0;
}

int runLoadSetup(const Arguments& arguments)
{
    const std::string& file = arguments.operands[0];
    Connection connection(arguments);
    request("the application did not load \"" + file + "\" (no such setup, or it is acquiring)",
            [&] { connection.instance().loadSetup(file); });
    std::printf("setup loaded: %s\n", file.c_str());
    return 0;
}

int runStore(const Arguments& arguments)
{
    const std::string& action = arguments.operands[0];
    if (action == "start") {
        if (arguments.operands.size() != 2)
            throw UsageError("store start needs the NAME of the file to store into");
        const std::string& name = arguments.operands[1];
        Connection connection(arguments);
        request("the application did not start storing to \"" + name +
                    "\" (it stores only while acquiring; the name must not contain '|' or line breaks)",
                [&] { connection.instance().startStoring(name); });
        std::printf("storing to %s\n", name.c_str());
        return 0;
    }
    if (action == "stop") {
        if (arguments.operands.size() != 1)
            throw UsageError("store stop takes no further argument");
        Connection connection(arguments);
        const ktremote::State state = request("the application did not stop storing (was it storing?)",
                                              [&] { return connection.instance().stopStoringWithState(); });
        std::printf("storing stopped; state %s\n", stateName(state));
        return 0;
    }
    throw UsageError("store takes \"start NAME\" or \"stop\", not \"" + action + "\"");
}

int runWrite(const Arguments& arguments)
{
    const std::string& key = arguments.operands[0];
    const double value = parseNumber(arguments.operands[1], "VALUE");
    Connection connection(arguments);
    OpenChannel open = connection.open(key);
    // The library refuses the write too (KX_ERR_NOT_CONTROL_CHANNEL); checked
    // here first so that nothing is sent and the message names the channel.
    if (!open.control)
        throw Failure(KX_ERR_NOT_CONTROL_CHANNEL, "\"" + open.name + "\" does not accept written values");
    request("cannot write to " + open.name, [&] { open.channel.write(value); });
    std::printf("wrote %s to %s\n", arguments.operands[1].c_str(), open.name.c_str());
    return 0;
}

} // namespace ktcli
