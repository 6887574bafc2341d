// SPDX-License-Identifier: MIT
// Command-line plumbing shared by the ktcli commands: what a command looks
// like, how its arguments are parsed, how failures are reported.
#pragma once

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace ktcli {

// A failed library call or a refused request: the result code behind it and
// a sentence that says what could not be done. main() prints both and exits
// with status 1. Code 0: a refusal of ktcli's own, printed without a code.
class Failure : public std::runtime_error {
public:
    Failure(int code, const std::string& message) : std::runtime_error(message), exitCode(code) {}
    int code() const { return exitCode; }

private:
    int exitCode;
};

// Arguments that do not fit the command; main() prints the message and the
// command's usage line and exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    const char* name;      // without the leading "--"
    const char* valueName; // nullptr for a flag; "[=VALUE]": the value is optional
    const char* help;
};

// The options and operands of one invocation.
class Arguments {
public:
    std::vector<std::string> operands;
    // The whole invocation, words separated by blanks (for recordings).
    std::string commandLine;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    std::string text(const std::string& name, const std::string& fallback) const;
    double number(const std::string& name, double fallback) const;
    long integer(const std::string& name, long fallback) const;

    std::map<std::string, std::string> values;
};

struct CommandSpec {
    const char* name;        // "store" for "store start NAME" and "store stop"
    const char* usage;       // operands after the name, e.g. "start NAME | stop"
    const char* summary;     // one line for the command list
    const char* description; // the rest of the command's help
    std::vector<OptionSpec> options;
    size_t minOperands;
    size_t maxOperands;                     // SIZE_MAX: any number
    int (*run)(const Arguments& arguments); // returns the exit status
};

// Options every command takes.
const std::vector<OptionSpec>& commonOptions();

// Parses the words after the command name: options (before, between or
// after the operands; "--name value" or "--name=value"), operands, "--" to
// end the options. Sets help when -h or --help is given. Throws UsageError.
Arguments parseArguments(const CommandSpec& command, const std::vector<std::string>& words, bool* help);

// Whether `word` is a common option that takes a value in the next word
// ("--port" but not "--port=8999").
bool takesSeparateValue(const std::string& word);

// One value of a fixed set ("--format" with "table", "csv", "json").
std::string choice(const Arguments& arguments, const std::string& name, const std::vector<std::string>& allowed);

void printCommandHelp(const CommandSpec& command);
// The options every command takes, one line each.
void printCommonOptions();
void printUsageLine(const CommandSpec& command, std::FILE* to);

// Strict conversions of an option or operand; `what` names it in the error.
double parseNumber(const std::string& text, const std::string& what);
long parseInteger(const std::string& text, const std::string& what);

} // namespace ktcli
