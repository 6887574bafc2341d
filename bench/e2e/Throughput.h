// SPDX-License-Identifier: MIT
#pragma once

// Streaming throughput over loopback TCP along four paths, each measured
// over a window after a short warm-up:
//  - socket pair: the stream's bytes between two threads of this process,
//    nothing decoded (the physical limit of the machine's loopback);
//  - ktsim to sink: ktsim sends, a thread only receives (the limit with
//    ktsim as the sender);
//  - library: ktsim sends, the library receives and decodes, the host
//    drains every channel with ktconChannelReadScalarData_2;
//  - reference: ktsim sends, ReferenceReceiver decodes, the host pops every
//    sample.
// The library and reference hosts read again at once, or once per
// StreamRun::readPeriod. Only overruns and drops within the window count.

#include "Sim.h"

#include <string>
#include <utility>
#include <vector>

namespace ktremote::bench {

struct StreamFigures {
    double seconds = 0.0;
    double bytes = 0.0;   // stream bytes received, or carried by the samples delivered
    double samples = 0.0; // samples delivered to the host, or carried by the bytes
    // Cores each participant kept busy over the window.
    std::vector<std::pair<std::string, double>> cores;
    double ioCpuSeconds = 0.0; // the receiving thread's CPU time over the window
    bool intact = true;        // every value compared was the one sent
    bool overrun = false;      // some samples were dropped before the host read them
    uint64_t dropped = 0;      // samples the reference receiver dropped
    uint64_t overrunReads = 0; // library reads that returned KX_ERR_DATA_OVERRUN
    // The longest time between the starts of two rounds of reads by the
    // host over the window.
    double longestGap = 0.0;

    double megabytesPerSecond() const { return bytes / seconds / 1e6; }
    double samplesPerSecond() const { return samples / seconds; }
    std::string coresText() const;
};

struct StreamRun {
    std::string ktsim; // path of the ktsim executable
    SimOptions sim;
    int channels = 64;
    double bytesPerSample = 4.0;
    double seconds = 2.0;
    double warmup = 0.3;
    // Seconds from the start of one round of reads to the next, as a host
    // that reads on a timer does; 0 reads again at once.
    double readPeriod = 0.0;
};

StreamFigures measureSocketPair(const StreamBytes& stream, double seconds, double warmup);
StreamFigures measureSimToSink(const StreamRun& run);
// bufferSize 0: the library's default. verify compares every value with
// the one ktsim sent.
StreamFigures measureLibrary(const StreamRun& run, int bufferSize, bool verify);
StreamFigures measureReference(const StreamRun& run, size_t capacity);

} // namespace ktremote::bench
