// SPDX-License-Identifier: MIT
#pragma once

// Figures of the library beside the streaming throughput: how late a value
// becomes readable, how much memory a channel costs, and how long a command
// exchange takes.

#include "Process.h"

#include <string>

namespace ktremote::bench {

struct LatencyFigures {
    size_t values = 0;
    double min = 0.0;
    double median = 0.0; // seconds from ktsim sending a packet to its value being read
    double p99 = 0.0;
    double max = 0.0;
};

// ktsim sends one float64 sample per 1 ms packet, stamped with its send
// time; the host polls ktconChannelReadScalarData_2 in a tight loop.
LatencyFigures measureLatency(const std::string& ktsim, const e2e::TempDir& dir, double seconds);

struct MemoryFigures {
    int channels = 0;
    int bufferSize = 0;
    double bytesPerChannel = 0.0; // growth of resident memory per channel
};

// Runs in a fresh process (this program with --memory-probe), so that memory
// freed by earlier measurements does not hide the growth.
MemoryFigures measureMemory(const std::string& ktsim, int channels, int bufferSize);
// The probe itself: prints "<resident before> <resident after>" in bytes.
int memoryProbe(const std::string& ktsim, int channels, int bufferSize);

struct CommandFigures {
    double library = 0.0;   // seconds per ktconGetState (one GETSTATUS exchange)
    double wholeLine = 0.0; // plain client, the line in one write
    double oneByte = 0.0;   // plain client, one write per byte
};

CommandFigures measureCommands(const std::string& ktsim, int exchanges);

} // namespace ktremote::bench
