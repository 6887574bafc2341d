// SPDX-License-Identifier: MIT
#pragma once

// The library as a host uses it, through the exported functions: one network
// instance connected to ktsim, a handle per channel, and reads that drain
// every channel with ktconChannelReadScalarData_2.

#include "Sim.h"
#include "ktremote.h"

#include <memory>
#include <string>
#include <vector>

namespace ktsim {
class SampleModel;
}

namespace ktremote::bench {

class LibrarySession {
public:
    // Connects to ktsim and opens every channel of the setup. bufferSize 0
    // keeps the library's default.
    LibrarySession(const Sim& sim, const std::string& setup, int bufferSize);
    ~LibrarySession();
    LibrarySession(const LibrarySession&) = delete;
    LibrarySession& operator=(const LibrarySession&) = delete;

    void start();
    void stop();
    ::KTXInstance* instance() const { return app; }
    ::ChannelInstance* channel(size_t i) const { return channels[i]; }
    size_t channelCount() const { return channels.size(); }

    // Reads everything buffered on every channel; returns the number of
    // samples read. With a model, every value read is kept, and intact()
    // compares them with the ones ktsim sent. The comparison comes after
    // the reads, because evaluating the model for every sample is slow
    // where floating point is emulated (a 32-bit program under qemu-i386)
    // and would make the host fall behind the stream it checks.
    uint64_t drain(const ktsim::SampleModel* model = nullptr);
    bool intact() const;
    bool overrun() const { return overrunCount > 0; }
    // Reads that returned KX_ERR_DATA_OVERRUN so far.
    uint64_t overruns() const { return overrunCount; }

private:
    ::KTXInstance* app = nullptr;
    std::vector<::ChannelInstance*> channels;
    std::vector<std::string> names;
    const ktsim::SampleModel* model = nullptr;
    std::vector<std::vector<double>> kept; // every value read per channel, with a model
    std::vector<double> values;
    std::vector<double> times;
    uint64_t overrunCount = 0;
};

} // namespace ktremote::bench
