// SPDX-License-Identifier: MIT
// Command-line options of ktsim.
#pragma once

#include "Faults.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ktsim {

struct Options {
    std::string bind = "127.0.0.1";
    std::uint16_t port = 8999; // 0: any free port
    std::string setup = "builtin:default";
    std::optional<std::uint64_t> seed; // none: a random seed, logged
    bool burst = false;
    bool stampSendTime = false; // float64 samples carry the time their packet was sent
    int packetMs = 5;
    bool verbose = false;
    std::string logFile;
    std::string storeDir = ".";
    std::vector<std::string> faultSpecs;
    FaultPlan faults;
    bool exitOnStdinEof = false;
    bool help = false;
    bool version = false;
    std::string printSetup; // print this built-in setup's text and exit
};

// Throws std::invalid_argument with a message for the user.
Options parseOptions(int argc, const char* const* argv);

std::string usageText();

} // namespace ktsim
