// ktcli: measure with a Kaltrop application from the command line, through
// the ktremote library's C functions.

#include "Cli.h"
#include "Commands.h"
#include "ResultText.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

using namespace ktcli;

namespace {

void printOverview()
{
    std::printf("usage: ktcli COMMAND [ARGUMENTS] [options]\n\n"
                "Remote control of a Kaltrop application over the network.\n\nCommands:\n");
    for (const CommandSpec& command : commands()) {
        std::string left = std::string(command.name) + (*command.usage ? " " : "") + command.usage;
        std::printf("  %-24s %s\n", left.c_str(), command.summary);
    }
    std::printf("\nConnection options (every command):\n"
                "  --host HOST            the application's host (default localhost)\n"
                "  --port PORT            the application's command port (default 8999)\n"
                "  --data-port PORT       the port ktcli listens on for measured data (default 8001)\n"
                "\n\"ktcli COMMAND --help\" describes a command. Exit status: 0 success,\n"
                "1 a failed request, 2 wrong arguments.\n");
}

const CommandSpec* findCommand(const std::string& name)
{
    for (const CommandSpec& command : commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0
        || std::strcmp(argv[1], "help") == 0) {
        printOverview();
        return argc < 2 ? 2 : 0;
    }
    const CommandSpec* command = findCommand(argv[1]);
    if (command == nullptr) {
        std::fprintf(stderr, "ktcli: unknown command \"%s\"; \"ktcli --help\" lists the commands\n", argv[1]);
        return 2;
    }
    try {
        bool help = false;
        const Arguments arguments = parseArguments(*command, argc, argv, 2, &help);
        if (help) {
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
        std::fprintf(stderr, "ktcli %s: %s.\n  %s (%d): %s.\n", command->name, failure.what(),
                     resultName(failure.code()), failure.code(), resultMeaning(failure.code()));
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ktcli %s: %s\n", command->name, error.what());
        return 1;
    }
}
