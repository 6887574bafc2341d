// SPDX-License-Identifier: MIT
#include "HostFigures.h"

#include "LibrarySession.h"
#include "Measure.h"
#include "Sim.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace ktremote::bench {

LatencyFigures measureLatency(const std::string& ktsim, const e2e::TempDir& dir, double seconds)
{
    const std::string setup = dir.file("latency.kts");
    std::ofstream(setup) << "setup latency\nrate 1000\n"
                            "channel number=1 name=Stamp kind=sync type=float64 wave=constant value=0\n";
    SimOptions options;
    options.setup = setup;
    options.packetMs = 1;
    options.burst = false;
    options.stampSendTime = true;
    Sim sim(ktsim, options);
    LibrarySession session(sim, setup, 0);
    session.start();

    std::vector<double> values(64);
    std::vector<double> times(64);
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(seconds * 2000) + 100);
    const auto start = Clock::now();
    for (;;) {
        const double elapsed = secondsSince(start);
        if (elapsed > seconds + 0.2)
            break;
        size_t count = values.size();
        ktconChannelReadScalarData_2(session.channel(0), values.data(), times.data(), &count);
        const double now = monotonicSeconds();
        if (elapsed < 0.2) // the connection's start-up is not part of it
            continue;
        for (size_t i = 0; i < count; ++i)
            latencies.push_back(now - values[i]);
    }
    session.stop();

    LatencyFigures figures;
    figures.values = latencies.size();
    if (!latencies.empty()) {
        figures.min = *std::min_element(latencies.begin(), latencies.end());
        figures.max = *std::max_element(latencies.begin(), latencies.end());
    }
    figures.median = quantile(latencies, 0.5);
    figures.p99 = quantile(latencies, 0.99);
    return figures;
}

int memoryProbe(const std::string& ktsim, int channels, int bufferSize)
{
    e2e::TempDir dir;
    SimOptions options;
    options.setup = writeSetup(dir, channels, 10000);
    Sim sim(ktsim, options);
    const uint64_t before = residentBytes();
    LibrarySession session(sim, options.setup, bufferSize);
    session.start();
    // Long enough to fill every buffer, so that all of it is resident.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const uint64_t after = residentBytes();
    session.stop();
    std::printf("%llu %llu\n", static_cast<unsigned long long>(before), static_cast<unsigned long long>(after));
    std::fflush(stdout);
    return 0;
}

MemoryFigures measureMemory(const std::string& ktsim, int channels, int bufferSize)
{
    e2e::TempDir dir;
    e2e::ChildProcess probe("/proc/self/exe",
                            {"--memory-probe", std::to_string(channels), std::to_string(bufferSize), "--ktsim", ktsim},
                            dir.file("probe.err"));
    // The library prints its "Connection from:" line first.
    std::string line;
    do
        line = probe.readLine(std::chrono::seconds(60));
    while (!line.empty() && line.rfind("Connection from:", 0) == 0);
    unsigned long long before = 0, after = 0;
    if (std::sscanf(line.c_str(), "%llu %llu", &before, &after) != 2)
        throw std::runtime_error("memory probe failed: \"" + line + "\" " + e2e::readFile(dir.file("probe.err")));
    MemoryFigures figures;
    figures.channels = channels;
    figures.bufferSize = bufferSize;
    figures.bytesPerChannel = (static_cast<double>(after) - static_cast<double>(before)) / channels;
    return figures;
}

CommandFigures measureCommands(const std::string& ktsim, int exchanges)
{
    SimOptions options;
    options.setup = "builtin:clean";
    options.burst = false;
    Sim sim(ktsim, options);
    CommandFigures figures;
    LibrarySession session(sim, options.setup, 0);
    CommandClient client(sim.port());
    auto plain = [&client](bool oneByte) {
        if (client.command("GETSTATUS", oneByte).rfind("+OK", 0) != 0)
            throw std::runtime_error("GETSTATUS failed");
    };
    // The library and the plain client take turns in rounds, so that a
    // change of load or clock speed during the run falls on both alike.
    const int rounds = 10;
    const int perRound = std::max(1, exchanges / rounds);
    double library = 0.0, wholeLine = 0.0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        int state = 0;
        for (int i = 0; i < perRound; ++i)
            ktconGetState(session.instance(), &state);
        library += secondsSince(start);
        start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            plain(false);
        wholeLine += secondsSince(start);
    }
    figures.library = library / (rounds * perRound);
    figures.wholeLine = wholeLine / (rounds * perRound);
    const auto start = Clock::now();
    for (int i = 0; i < exchanges; ++i)
        plain(true);
    figures.oneByte = secondsSince(start) / exchanges;
    return figures;
}

} // namespace ktremote::bench
