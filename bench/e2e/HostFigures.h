#pragma once

// Figures of the library beside the streaming throughput: how late a value
// becomes readable, how much memory a channel costs, and how long a command
// exchange takes.

#include "Process.h"

#include <string>
#include <vector>

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
// The same stream read by a plain thread that blocks on the data socket and
// takes the stamp straight out of each packet: the anchor of the above.
LatencyFigures measurePlainLatency(const std::string& ktsim, const e2e::TempDir& dir, double seconds);

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

// Seconds per command exchange, one value per round. The rounds alternate
// between the library and the plain client, both connected at once, so that
// a change of load hits both alike.
struct CommandFigures {
    std::vector<double> library;   // ktconGetState (one GETSTATUS exchange)
    std::vector<double> wholeLine; // plain blocking client, the line in one write
    double oneByte = 0.0;          // plain blocking client, one write per byte (one round)
    // library / wholeLine of each round.
    std::vector<double> ratios() const;
};

CommandFigures measureCommands(const std::string& ktsim, int rounds, int exchangesPerRound);

} // namespace ktremote::bench
