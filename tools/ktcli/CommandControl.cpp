// ktcli state, load-setup, store and write: one request each.

#include "Commands.h"
#include "Session.h"

#include <cstdio>
#include <string>

namespace ktcli {

namespace {

const char* stateName(int state)
{
    switch (state) {
    case KX_STATE_SETUP: return "setup";
    case KX_STATE_ACQUIRING: return "acquiring";
    case KX_STATE_STOPPED: return "stopped";
    case KX_STATE_ANALYSIS: return "analysis";
    default: return "unknown";
    }
}

}  // namespace

int runState(const Arguments& arguments)
{
    Session session(arguments);
    int state = 0;
    bool acquiring = false;
    check(ktconGetState(session.instance(), &state), "cannot ask for the application's state");
    check(ktconIsInAqusition(session.instance(), &acquiring), "cannot ask whether the application acquires");
    std::printf("state      %s\nacquiring  %s\n", stateName(state), acquiring ? "yes" : "no");
    return 0;
}

int runLoadSetup(const Arguments& arguments)
{
    const std::string& file = arguments.operands[0];
    Session session(arguments);
    check(ktconLoadSetup(session.instance(), file.c_str()),
          "the application did not load \"" + file + "\" (no such setup, or it is acquiring)");
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
        Session session(arguments);
        check(ktconStartStoring(session.instance(), name.c_str()),
              "the application did not start storing to \"" + name +
                  "\" (it stores only while acquiring; the name must not contain '|' or line breaks)");
        std::printf("storing to %s\n", name.c_str());
        return 0;
    }
    if (action == "stop") {
        if (arguments.operands.size() != 1)
            throw UsageError("store stop takes no further argument");
        Session session(arguments);
        int state = 0;
        check(ktconStopStoringEx(session.instance(), &state),
              "the application did not stop storing (was it storing?)");
        std::printf("storing stopped; state %s\n", stateName(state));
        return 0;
    }
    throw UsageError("store takes \"start NAME\" or \"stop\", not \"" + action + "\"");
}

int runWrite(const Arguments& arguments)
{
    const std::string& key = arguments.operands[0];
    const double value = parseNumber(arguments.operands[1], "VALUE");
    Session session(arguments);
    const auto channel = session.open(key);
    // The library does not report a refused write, so the flag is checked
    // here first.
    if (!channel->isControl())
        throw Failure(KX_ERR_NOT_CONTROL_CHANNEL, "\"" + channel->name() + "\" does not accept written values");
    check(ktconControlChannelWriteData(channel->handle(), value), "cannot write to " + channel->name());
    std::printf("wrote %s to %s\n", arguments.operands[1].c_str(), channel->name().c_str());
    return 0;
}

}  // namespace ktcli
