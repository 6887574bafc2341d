// SPDX-License-Identifier: MIT
#include "Cli.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ktcli {

namespace {

const OptionSpec* findOption(const CommandSpec& command, const std::string& name)
{
    for (const OptionSpec& option : commonOptions())
        if (name == option.name)
            return &option;
    for (const OptionSpec& option : command.options)
        if (name == option.name)
            return &option;
    return nullptr;
}

void printOptions(const std::vector<OptionSpec>& options)
{
    for (const OptionSpec& option : options) {
        std::string left = std::string("--") + option.name;
        if (option.valueName != nullptr)
            left += (option.valueName[0] == '[' ? "" : " ") + std::string(option.valueName);
        std::printf("  %-22s %s\n", left.c_str(), option.help);
    }
}

} // namespace

const std::vector<OptionSpec>& commonOptions()
{
    static const std::vector<OptionSpec> options = {
        {"host", "HOST", "the application's host (default localhost)"},
        {"port", "PORT", "the application's command port (default 8999)"},
        {"data-port", "PORT", "the port ktcli listens on for measured data (default 8001)"},
        {"help", nullptr, "show this help (-h)"},
        {"version", nullptr, "show the versions of ktcli and of the library"},
    };
    return options;
}

std::string Arguments::text(const std::string& name, const std::string& fallback) const
{
    const auto found = values.find(name);
    return found != values.end() ? found->second : fallback;
}

double Arguments::number(const std::string& name, double fallback) const
{
    return has(name) ? parseNumber(text(name, ""), "--" + name) : fallback;
}

long Arguments::integer(const std::string& name, long fallback) const
{
    return has(name) ? parseInteger(text(name, ""), "--" + name) : fallback;
}

Arguments parseArguments(const CommandSpec& command, const std::vector<std::string>& words, bool* help)
{
    Arguments arguments;
    *help = false;
    bool optionsEnded = false;
    const size_t count = words.size();
    for (size_t k = 0; k < count; ++k) {
        const std::string& word = words[k];
        if (optionsEnded || word.size() < 2 || word[0] != '-' || word == "-") {
            arguments.operands.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "-h" || word == "--help") {
            *help = true;
            continue;
        }
        if (word.compare(0, 2, "--") != 0) {
            // A negative number is an operand ("write Gain -1").
            char* end = nullptr;
            std::strtod(word.c_str(), &end);
            if (*end == '\0') {
                arguments.operands.push_back(word);
                continue;
            }
            throw UsageError("unknown option " + word);
        }
        std::string name = word.substr(2);
        std::string value;
        bool hasValue = false;
        const size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
            hasValue = true;
        }
        const OptionSpec* option = findOption(command, name);
        if (option == nullptr)
            throw UsageError("unknown option --" + name);
        if (option->valueName == nullptr) {
            if (hasValue)
                throw UsageError("--" + name + " takes no value");
        } else if (!hasValue && option->valueName[0] == '[') {
            // An optional value comes only as "--name=value".
        } else if (!hasValue) {
            if (k + 1 >= count)
                throw UsageError("--" + name + " needs a value (" + option->valueName + ")");
            value = words[++k];
        }
        arguments.values[name] = value;
    }
    if (*help)
        return arguments;
    if (arguments.operands.size() < command.minOperands)
        throw UsageError("too few arguments");
    if (arguments.operands.size() > command.maxOperands)
        throw UsageError("too many arguments");
    return arguments;
}

bool takesSeparateValue(const std::string& word)
{
    for (const OptionSpec& option : commonOptions())
        if (option.valueName != nullptr && word == std::string("--") + option.name)
            return true;
    return false;
}

std::string choice(const Arguments& arguments, const std::string& name, const std::vector<std::string>& allowed)
{
    const std::string value = arguments.text(name, allowed.front());
    for (const std::string& one : allowed)
        if (value == one)
            return value;
    std::string list;
    for (const std::string& one : allowed)
        list += (list.empty() ? "" : ", ") + one;
    throw UsageError("--" + name + " takes one of " + list + ", not \"" + value + "\"");
}

void printUsageLine(const CommandSpec& command, std::FILE* to)
{
    std::fprintf(to, "usage: ktcli %s%s%s [options]\n", command.name, *command.usage ? " " : "", command.usage);
}

void printCommandHelp(const CommandSpec& command)
{
    printUsageLine(command, stdout);
    std::printf("\n%s\n\n%s", command.summary, command.description);
    if (!command.options.empty()) {
        std::printf("\nOptions:\n");
        printOptions(command.options);
    }
    std::printf("\n");
    printCommonOptions();
}

void printCommonOptions()
{
    std::printf("Common options (before or after the command):\n");
    printOptions(commonOptions());
}

double parseNumber(const std::string& text, const std::string& what)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
        throw UsageError(what + " must be a finite number, not \"" + text + "\"");
    return value;
}

long parseInteger(const std::string& text, const std::string& what)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError(what + " must be a whole number, not \"" + text + "\"");
    return value;
}

} // namespace ktcli
