// SPDX-License-Identifier: MIT
// ktcli: measure with a Kaltrop application from the command line, through
// the ktremote library's C++ wrapper.

#include "Cli.h"
#include "Commands.h"
#include "KtremoteVersion.h"
#include "Signals.h"
#include "ktremote.hpp"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

using namespace ktcli;

namespace {

void printOverview()
{
    std::printf("usage: ktcli [OPTIONS] COMMAND [ARGUMENTS] [OPTIONS]\n\n"
                "Remote control of a Kaltrop application over the network.\n\nCommands:\n");
    for (const CommandSpec& command : commands()) {
        std::string left = std::string(command.name) + (*command.usage ? " " : "") + command.usage;
        std::printf("  %-24s %s\n", left.c_str(), command.summary);
    }
    std::printf("\n");
    printCommonOptions();
    std::printf("\n\"ktcli COMMAND --help\" describes a command. Exit status: 0 success,\n"
                "1 a failed request (stream: also when the application already measures,\n"
                "was lost, or sent nothing), 2 wrong arguments, 3 stream: samples were\n"
                "lost (unless --allow-loss). A signal before a measurement started ends\n"
                "ktcli at once with 128 + its number.\n");
}

void printVersion()
{
    std::string library;
    try {
        library = ktremote::version();
    } catch (const ktremote::Error& error) {
        library = std::string("unknown: ") + error.name();
    }
    std::printf("ktcli %s (library %s)\n", ktremote::versionText, library.c_str());
}

const CommandSpec* findCommand(const std::string& name)
{
    for (const CommandSpec& command : commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

// Whether `word`, standing before the command name, is an option whose
// value is the next word: a common option or one of any command's (the
// command, found later, checks that the option is its own).
bool takesValueBeforeCommand(const std::string& word)
{
    if (takesSeparateValue(word))
        return true;
    for (const CommandSpec& command : commands())
        for (const OptionSpec& option : command.options)
            if (option.valueName != nullptr && word == std::string("--") + option.name)
                return true;
    return false;
}

// Where the command name stands: the first word that is neither an option
// nor the value of an option. -1 when there is none. Sets the flags for
// -h/--help and --version given before it.
int commandIndex(int argc, char** argv, bool* help, bool* version)
{
    for (int k = 1; k < argc; ++k) {
        const std::string word = argv[k];
        if (word == "-h" || word == "--help")
            *help = true;
        else if (word == "--version")
            *version = true;
        else if (takesValueBeforeCommand(word))
            ++k;
        else if (word == "--" || word.empty() || word[0] != '-')
            return word == "--" ? (k + 1 < argc ? k + 1 : -1) : k;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    signals::install();
    bool help = false;
    bool version = false;
    const int at = commandIndex(argc, argv, &help, &version);
    if (version) {
        printVersion();
        return 0;
    }
    if (help || at < 0 || std::string(argv[at]) == "help") {
        printOverview();
        return help || at >= 0 ? 0 : 2;
    }
    const CommandSpec* command = findCommand(argv[at]);
    if (command == nullptr) {
        std::fprintf(stderr, "ktcli: unknown command \"%s\"; \"ktcli --help\" lists the commands\n", argv[at]);
        return 2;
    }
    std::vector<std::string> words;
    std::string commandLine = "ktcli";
    for (int k = 1; k < argc; ++k) {
        if (k != at)
            words.emplace_back(argv[k]);
        commandLine += std::string(" ") + argv[k];
    }
    try {
        bool commandHelp = false;
        Arguments arguments = parseArguments(*command, words, &commandHelp);
        arguments.commandLine = commandLine;
        if (arguments.has("version")) {
            printVersion();
            return 0;
        }
        if (commandHelp) {
            printCommandHelp(*command);
            return 0;
        }
        return command->run(arguments);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "ktcli %s: %s\n", command->name, error.what());
        printUsageLine(*command, stderr);
        return 2;
    } catch (const Failure& failure) {
        std::fflush(stdout);
        if (failure.code() == 0)
            std::fprintf(stderr, "ktcli %s: %s\n", command->name, failure.what());
        else
            std::fprintf(stderr, "ktcli %s: %s.\n  %s (%d): %s.\n", command->name, failure.what(),
                         ktremote::resultName(failure.code()), failure.code(),
                         ktremote::resultDescription(failure.code()));
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ktcli %s: %s\n", command->name, error.what());
        return 1;
    }
}
