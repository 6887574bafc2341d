#include "HostFigures.h"

#include "LibrarySession.h"
#include "Measure.h"
#include "Sim.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace ktremote::bench {

namespace {

// One float64 channel at 1 kHz, one sample per 1 ms packet, each stamped
// with its send time.
SimOptions latencyOptions(const e2e::TempDir& dir)
{
    SimOptions options;
    options.setup = dir.file("latency.kts");
    std::ofstream(options.setup) << "setup latency\nrate 1000\n"
                                    "channel number=1 name=Stamp kind=sync type=float64 wave=constant value=0\n";
    options.packetMs = 1;
    options.burst = false;
    options.stampSendTime = true;
    return options;
}

LatencyFigures summarise(std::vector<double>& latencies)
{
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

} // namespace

LatencyFigures measureLatency(const std::string& ktsim, const e2e::TempDir& dir, double seconds)
{
    const SimOptions options = latencyOptions(dir);
    Sim sim(ktsim, options);
    LibrarySession session(sim, options.setup, 0);
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
    return summarise(latencies);
}

LatencyFigures measurePlainLatency(const std::string& ktsim, const e2e::TempDir& dir, double seconds)
{
    const SimOptions options = latencyOptions(dir);
    Sim sim(ktsim, options);
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    CommandClient commands(sim.port());
    commands.startStreaming(1, acceptor.local_endpoint().port());
    asio::ip::tcp::socket socket(io);
    acceptor.accept(socket);

    // A packet: start marker, 28-byte header, the block's count n and its n
    // float64 stamps, end marker. ktsim sends what became due, so n is
    // usually 1 and sometimes 0 or 2.
    constexpr size_t countOffset = 36;
    constexpr size_t headSize = countOffset + 4;
    constexpr size_t endMarkerSize = 8;
    std::vector<uint8_t> buffer(64 * 1024);
    size_t filled = 0;
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(seconds * 2000) + 100);
    const auto start = Clock::now();
    while (secondsSince(start) < seconds + 0.2) {
        filled += socket.read_some(asio::buffer(buffer.data() + filled, buffer.size() - filled));
        const double now = monotonicSeconds();
        size_t used = 0;
        while (filled - used >= headSize) {
            const uint8_t* packet = buffer.data() + used;
            int32_t n = 0;
            std::memcpy(&n, packet + countOffset, sizeof n);
            if (packet[0] != 0x00 || packet[7] != 0x07 || n < 0 || n > 1000)
                throw std::runtime_error("unexpected bytes in the latency stream");
            const size_t size = headSize + 8 * static_cast<size_t>(n) + endMarkerSize;
            if (filled - used < size)
                break;
            for (int32_t i = 0; i < n; ++i) {
                double stamp = 0.0;
                std::memcpy(&stamp, packet + headSize + 8 * static_cast<size_t>(i), sizeof stamp);
                if (secondsSince(start) >= 0.2) // as for the library: start-up is not part of it
                    latencies.push_back(now - stamp);
            }
            used += size;
        }
        std::memmove(buffer.data(), buffer.data() + used, filled - used);
        filled -= used;
    }
    commands.command("STOPTRANSFER");
    return summarise(latencies);
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

std::vector<double> CommandFigures::ratios() const
{
    std::vector<double> result;
    for (size_t i = 0; i < library.size() && i < wholeLine.size(); ++i)
        result.push_back(library[i] / wholeLine[i]);
    return result;
}

CommandFigures measureCommands(const std::string& ktsim, int rounds, int exchangesPerRound)
{
    SimOptions options;
    options.setup = "builtin:clean";
    options.burst = false;
    Sim sim(ktsim, options);
    LibrarySession session(sim, options.setup, 0);
    CommandClient client(sim.port());
    const auto plain = [&client](bool oneByte) {
        if (client.command("GETSTATUS", oneByte).rfind("+OK", 0) != 0)
            throw std::runtime_error("GETSTATUS failed");
    };
    const auto timed = [exchangesPerRound](const auto& exchange) {
        const auto start = Clock::now();
        for (int i = 0; i < exchangesPerRound; ++i)
            exchange();
        return secondsSince(start) / exchangesPerRound;
    };
    const auto library = [&session] {
        int state = 0;
        if (ktconGetState(session.instance(), &state) != KX_OK)
            throw std::runtime_error("ktconGetState failed");
    };
    // Both paths once before timing: connections, caches and the CPUs'
    // clock settle.
    timed(library);
    timed([&] { plain(false); });

    CommandFigures figures;
    for (int round = 0; round < rounds; ++round) {
        figures.library.push_back(timed(library));
        figures.wholeLine.push_back(timed([&] { plain(false); }));
    }
    figures.oneByte = timed([&] { plain(true); });
    return figures;
}

} // namespace ktremote::bench
