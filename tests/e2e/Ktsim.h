// SPDX-License-Identifier: MIT
#pragma once

// ktsim as the end-to-end tests run it: a child process in deterministic
// mode (a fixed seed, so every value it sends is known beforehand), on a
// free command port, logging every line it receives.

#include "Process.h"
#include "ktremote.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace ktremote::e2e {

class Ktsim {
public:
    static constexpr uint64_t seed = 7;

    // Starts ktsim with the built-in default setup (or the given options on
    // top) and waits for the line that names its port.
    explicit Ktsim(const std::vector<std::string>& options = {});

    uint16_t port() const { return commandPort; }
    pid_t pid() const { return simProcess->pid(); }
    // Directory of its log and of the files it stores.
    const TempDir& dir() const { return storeDir; }

    // "<host> <command port> <data port>".
    std::string connectText(uint16_t dataPort, const std::string& host = "127.0.0.1") const;

    // Every command line ktsim received so far, in order, without its line
    // end. ktsim logs a line before it replies to it, so once a call of the
    // library has returned, the lines it sent are all here.
    std::vector<std::string> receivedLines() const;
    std::string log() const { return readFile(storeDir.file("ktsim.log")); }

    // Ends ktsim with SIGKILL, as a crash would, and waits until it is gone.
    void kill();

private:
    TempDir storeDir;
    std::unique_ptr<ChildProcess> simProcess;
    uint16_t commandPort = 0;
};

// A network instance made and connected through the exported functions.
// Only the pause between the checks for the command connection is set
// through the library's internals, so that connecting takes milliseconds
// instead of two seconds.
::KTXInstance* connectFast(const std::string& connectText);

// Connects an instance made by connectFast again. A quick poll finds the
// connection only if the system lets its threads run within a few hundred
// milliseconds; on a loaded machine it may not, so an attempt that found no
// connection (-6) is made again, for up to a minute. Returns the last result.
KX_ERROR_CODE connectFastAgain(::KTXInstance* instance, const std::string& connectText);

// A channel handle, freed with ktconFreeChannelInstance when the last copy
// goes.
using ChannelHandle = std::shared_ptr<::ChannelInstance>;

// Whether ktsim acquires, asked on a connection of its own.
bool acquiring(const Ktsim& sim);

// Opens a channel handle by name; fails the test for an unknown name.
ChannelHandle openChannel(::KTXInstance* instance, const char* name);

// Days since 1899-12-30 now, the time base of absolute sample times.
double daysNow();

} // namespace ktremote::e2e
