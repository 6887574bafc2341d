// SPDX-License-Identifier: MIT
#pragma once

// The application side of the end-to-end benchmarks: ktsim as a child
// process, a plain command client that drives it without the library, and
// the bytes it streams, generated in process for the socket-only paths.

#include "Process.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/streambuf.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ktremote::bench {

struct SimOptions {
    std::string setup = "builtin:bench64";
    int packetMs = 5;
    bool burst = true;
    bool stampSendTime = false;
};

class Sim {
public:
    static constexpr uint64_t seed = 1;

    Sim(const std::string& executable, const SimOptions& options);

    uint16_t port() const { return commandPort; }
    pid_t pid() const { return simProcess->pid(); }
    // "127.0.0.1 <command port> <data port>"
    std::string connectText(uint16_t dataPort) const;

private:
    e2e::TempDir storeDir;
    std::unique_ptr<e2e::ChildProcess> simProcess;
    uint16_t commandPort = 0;
};

// Writes a setup of `channels` float32 sine channels named C0001, C0002, ...
// at `rate` Hz into `dir` and returns its path. The sine repeats after 1000
// samples, so ktsim streams it from a table.
std::string writeSetup(const e2e::TempDir& dir, int channels, int rate);

// The names of a setup's channels, in order.
std::vector<std::string> channelNames(const std::string& setup);

// The first `minimum` bytes (rounded up to whole packets) of the stream
// ktsim --burst sends for a setup with every channel transferred, and how
// many samples they carry.
struct StreamBytes {
    std::vector<uint8_t> bytes;
    uint64_t samples = 0;
    uint64_t packets = 0;
    double bytesPerSample() const { return static_cast<double>(bytes.size()) / static_cast<double>(samples); }
};
StreamBytes streamBytes(const std::string& setup, int packetMs, size_t minimum);

// A blocking command connection to ktsim, without the library.
class CommandClient {
public:
    explicit CommandClient(uint16_t port);

    // Sends a line (whole, or one byte per write) and returns the first
    // reply line without its line end.
    std::string command(const std::string& line, bool oneByteWrites = false);

    // Transfers channels 1..channels to `dataPort` and starts acquiring.
    void startStreaming(int channels, uint16_t dataPort);

private:
    std::string readLine();

    asio::io_context io;
    asio::ip::tcp::socket commandSocket;
    asio::streambuf input;
};

} // namespace ktremote::bench
