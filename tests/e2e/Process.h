// SPDX-License-Identifier: MIT
#pragma once

// Child processes for the end-to-end tests: ktsim, which runs beside a test,
// and ktcli, which runs to completion.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ktremote::e2e {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dirPath; }
    std::string file(const std::string& name) const { return dirPath + "/" + name; }

private:
    std::string dirPath;
};

// A program started with a pipe on its standard input and its standard
// output, and its standard error in a file. Closing the input is how ktsim
// is told to end (--exit-on-stdin-eof); the destructor does that and, if
// the program does not end within a few seconds, kills it.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments, const std::string& stderrPath);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output without its line end; empty when
    // none came within the limit or the output ended.
    std::string readLine(std::chrono::milliseconds limit);

    void closeInput();
    pid_t pid() const { return childPid; }
    // The exit status (128 + signal number for a signal), or -1 when the
    // program is still running after the limit.
    int wait(std::chrono::milliseconds limit);

private:
    pid_t childPid = -1;
    int childInputFd = -1;
    int childOutputFd = -1;
    std::string pending;
    bool childReaped = false;
    int waitStatus = -1;
};

struct RunResult {
    int status = -1; // exit status; -1 when it had to be killed
    std::string out;
    std::string err;
};

// Runs a program to its end with standard input closed, collecting what it
// writes. A program still running after the limit is killed.
RunResult runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit);

// How long a ktcli run of the tests may take before runToEnd kills it.
inline constexpr std::chrono::seconds ktcliLimit{90};

// A TCP port on which nothing listens right now, for the library's data
// listener: the one the system picks for a socket bound to port 0. The
// system spreads those picks over its whole ephemeral range, so tests that
// run at the same time do not get the same one.
uint16_t freePort();

std::string readFile(const std::string& path);

} // namespace ktremote::e2e
