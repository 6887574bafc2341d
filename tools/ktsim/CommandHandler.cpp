// SPDX-License-Identifier: MIT
#include "CommandHandler.h"

#include "ChannelList.h"
#include "PacketEncoder.h"
#include "SetupParser.h"

#include <charconv>
#include <chrono>

namespace ktsim {
namespace {

CommandReply ok(const std::string& text = "") { return {text.empty() ? "+OK\r\n" : "+OK " + text + "\r\n", false}; }

CommandReply error(const std::string& text) { return {"-ERR " + text + "\r\n", false}; }

bool parseInt(const std::string& text, long long lo, long long hi, long long& out)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty() && out >= lo && out <= hi;
}

double nowDays()
{
    using namespace std::chrono;
    return serialDays(duration<double>(system_clock::now().time_since_epoch()).count());
}

const char* const helpText =
    "SETMODE n, LISTUSEDCHS DW, GETSAMPLERATE, ISMEASURING, GETSTATUS, LOADSETUP path, "
    "STARTSTORE [name], STOPSTORE, GETTIMING, /STX PREPARETRANSFER + CH n lines + /ETX, SETTIMEOUT n, "
    "STARTTRANSFER port, STARTACQ, STOPTRANSFER, STOP, ENTERSETUP, ENTERANALYSE, "
    "SETCTRLCHANNELVALUES ch:value\\, EXIT";

} // namespace

CommandHandler::CommandHandler(Application& app, TransferControl& transfer)
    : simApplication(app), transferControl(transfer)
{
}

std::string CommandHandler::commandName(const std::string& line) const
{
    if (insideBlock || line.rfind("/STX", 0) == 0 || line == "/ETX")
        return "PREPARETRANSFER";
    return line.substr(0, line.find(' '));
}

std::optional<CommandReply> CommandHandler::handle(const std::string& line)
{
    if (insideBlock)
        return blockLine(line);
    std::size_t space = line.find(' ');
    std::string word = line.substr(0, space);
    std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (word == "/STX") {
        if (rest != "PREPARETRANSFER")
            return error("unknown block '" + line + "'");
        insideBlock = true;
        blockNumbers.clear();
        blockError.clear();
        return std::nullopt;
    }
    return dispatch(word, rest, space != std::string::npos);
}

std::optional<CommandReply> CommandHandler::blockLine(const std::string& line)
{
    if (line == "/ETX") {
        insideBlock = false;
        if (!blockError.empty())
            return error(blockError);
        preparedNumbers = blockNumbers;
        return ok(std::to_string(preparedNumbers.size()) + " channels prepared");
    }
    long long number = 0;
    if (line.rfind("CH ", 0) != 0 || !parseInt(line.substr(3), -2147483648LL, 2147483647LL, number)) {
        if (blockError.empty())
            blockError = "expected 'CH n' or '/ETX' in transfer block, got '" + line + "'";
    } else if (!simApplication.model()->setup().findByNumber(static_cast<int>(number))) {
        if (blockError.empty())
            blockError = "no channel " + std::to_string(number) + " in setup " + simApplication.model()->setup().name;
    } else {
        blockNumbers.push_back(static_cast<int>(number));
    }
    return std::nullopt;
}

CommandReply CommandHandler::dispatch(const std::string& word, const std::string& rest, bool hasArgument)
{
    const auto now = Application::Clock::now();
    auto noArgument = [&](const char* name) {
        return hasArgument ? std::optional<CommandReply>(error(std::string(name) + " takes no argument"))
                           : std::nullopt;
    };
    long long number = 0;

    if (word == "SETMODE") {
        if (!parseInt(rest, 0, 1000, number))
            return error("SETMODE needs a mode number");
        return ok();
    }
    if (word == "LISTUSEDCHS") {
        if (rest != "DW")
            return error("LISTUSEDCHS supports the format DW only");
        return {listReply(simApplication.model()->setup()), false};
    }
    if (word == "GETSAMPLERATE") {
        if (auto bad = noArgument("GETSAMPLERATE"))
            return *bad;
        return ok(formatNumber(simApplication.model()->setup().rate));
    }
    if (word == "ISMEASURING") {
        if (auto bad = noArgument("ISMEASURING"))
            return *bad;
        return ok(simApplication.acquiring() ? "Yes" : "No");
    }
    if (word == "GETSTATUS") {
        if (auto bad = noArgument("GETSTATUS"))
            return *bad;
        return ok(stateWord(simApplication.state()));
    }
    if (word == "GETTIMING") {
        if (auto bad = noArgument("GETTIMING"))
            return *bad;
        return ok(formatNumber(simApplication.model()->setup().rate) + " Hz");
    }
    if (word == "LOADSETUP") {
        if (rest.empty())
            return error("LOADSETUP needs a setup file");
        if (simApplication.acquiring())
            return error("cannot load a setup while acquiring");
        try {
            simApplication.loadSetup(loadSetup(rest));
        } catch (const SetupError& e) {
            return error(e.what());
        }
        preparedNumbers.clear();
        return ok("Setup loaded");
    }
    if (word == "STARTSTORE") {
        if (!simApplication.acquiring())
            return error("no acquisition is running");
        if (simApplication.storing())
            return error("already storing to " + simApplication.storePath());
        try {
            return ok("Storing to " + simApplication.startStore(rest, now));
        } catch (const std::exception& e) {
            return error(e.what());
        }
    }
    if (word == "STOPSTORE") {
        if (auto bad = noArgument("STOPSTORE"))
            return *bad;
        if (!simApplication.storing())
            return error("not storing");
        simApplication.stopStore(now);
        return ok("Storing stopped");
    }
    if (word == "SETTIMEOUT") {
        if (!parseInt(rest, 0, 2147483647LL, number))
            return error("SETTIMEOUT needs a number of milliseconds");
        return ok();
    }
    if (word == "STARTTRANSFER") {
        if (!parseInt(rest, 1, 65535, number))
            return error("STARTTRANSFER needs a port from 1 to 65535");
        // Another connection may have loaded a setup without these channels.
        for (int channel : preparedNumbers)
            if (!simApplication.model()->setup().findByNumber(channel))
                return error("channel " + std::to_string(channel) + " is not in setup " +
                             simApplication.model()->setup().name);
        std::string problem = transferControl.startTransfer(static_cast<std::uint16_t>(number), preparedNumbers);
        return problem.empty() ? ok() : error(problem);
    }
    if (word == "STOPTRANSFER") {
        if (auto bad = noArgument("STOPTRANSFER"))
            return *bad;
        transferControl.stopTransfer();
        return ok();
    }
    if (word == "STARTACQ") {
        if (auto bad = noArgument("STARTACQ"))
            return *bad;
        if (simApplication.acquiring())
            return error("already acquiring");
        simApplication.startAcquisition(now, nowDays());
        return ok();
    }
    if (word == "STOP") {
        if (auto bad = noArgument("STOP"))
            return *bad;
        simApplication.stopAcquisition(now);
        return ok();
    }
    if (word == "ENTERSETUP" || word == "ENTERANALYSE") {
        if (hasArgument)
            return error(word + " takes no argument");
        simApplication.stopAcquisition(now);
        simApplication.enterState(word == "ENTERSETUP" ? AppState::Setup : AppState::Analyse);
        return ok();
    }
    if (word == "SETCTRLCHANNELVALUES")
        return setControlValues(rest);
    if (word == "EXIT")
        return {"+OK bye\r\n", true};
    if (word == "HELP")
        return ok(helpText);
    if (word.empty())
        return error("empty command");
    return error("unknown command '" + word + "'");
}

// "path:value\" once or several times; all are checked before any is set.
CommandReply CommandHandler::setControlValues(const std::string& rest)
{
    if (rest.empty() || rest.back() != '\\')
        return error("SETCTRLCHANNELVALUES needs channel:value\\");
    const Setup& setup = simApplication.model()->setup();
    std::vector<std::pair<int, double>> writes;
    std::size_t begin = 0;
    while (begin < rest.size()) {
        std::size_t end = rest.find('\\', begin);
        std::string item = rest.substr(begin, end - begin);
        begin = end + 1;
        std::size_t colon = item.rfind(':');
        if (colon == std::string::npos)
            return error("expected channel:value, got '" + item + "'");
        std::string path = item.substr(0, colon);
        std::string text = item.substr(colon + 1);
        double value = 0.0;
        const char* last = text.data() + text.size();
        auto [ptr, ec] = std::from_chars(text.data(), last, value);
        if (text.empty() || ec != std::errc() || ptr != last)
            return error("'" + text + "' is not a number");
        const Channel* ch = setup.findByPath(path);
        if (!ch)
            return error("no channel '" + path + "'");
        if (!ch->control)
            return error("channel '" + path + "' is not a control channel");
        writes.emplace_back(ch->number, value);
    }
    for (const auto& [channelNumber, value] : writes)
        simApplication.controls().set(channelNumber, value);
    return ok();
}

} // namespace ktsim
