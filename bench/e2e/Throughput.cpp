// SPDX-License-Identifier: MIT
#include "Throughput.h"

#include "LibrarySession.h"
#include "Measure.h"
#include "ReferenceReceiver.h"
#include "SampleModel.h"
#include "SetupParser.h"

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace ktremote::bench {

namespace {

constexpr size_t kReceiveChunk = 128 * 1024; // what the library asks for per read

// Receives until the peer closes, counting bytes.
void receiveAll(asio::ip::tcp::socket& socket, std::atomic<uint64_t>& received)
{
    std::vector<uint8_t> buffer(kReceiveChunk);
    asio::error_code error;
    while (!error) {
        const size_t n = socket.read_some(asio::buffer(buffer), error);
        received.fetch_add(n, std::memory_order_relaxed);
    }
}

void waitFor(const std::atomic<uint64_t>& counter, const char* what)
{
    const auto start = Clock::now();
    while (counter.load(std::memory_order_relaxed) == 0) {
        if (secondsSince(start) > 30)
            throw std::runtime_error(std::string("no data from ") + what);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Rounds of reads by a host: with a period, each round starts when the
// previous one's period is over, and a round that comes late is not made
// up, as with a timer that fires once per period. Keeps the longest time
// between the starts of two rounds.
class Rounds {
public:
    explicit Rounds(double period)
        : wakePeriod(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period)))
    {
    }

    void wait()
    {
        const auto now = Clock::now();
        if (wakePeriod.count() > 0) {
            next = std::max(next + wakePeriod, now);
            std::this_thread::sleep_until(next);
        }
        const auto start = Clock::now();
        if (last != Clock::time_point{})
            longestGapSeconds = std::max(longestGapSeconds, std::chrono::duration<double>(start - last).count());
        last = start;
    }
    // From here on, gaps count.
    void resetGap() { longestGapSeconds = 0.0; }
    double longestGap() const { return longestGapSeconds; }

private:
    Clock::duration wakePeriod;
    Clock::time_point next = Clock::now();
    Clock::time_point last{};
    double longestGapSeconds = 0.0;
};

} // namespace

std::string StreamFigures::coresText() const
{
    std::string text;
    for (const auto& [who, busy] : cores) {
        char item[64];
        std::snprintf(item, sizeof item, "%s%s %.2f", text.empty() ? "" : ", ", who.c_str(), busy);
        text += item;
    }
    return text;
}

StreamFigures measureSocketPair(const StreamBytes& stream, double seconds, double warmup)
{
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    asio::ip::tcp::socket sender(io);
    asio::ip::tcp::socket receiver(io);
    sender.connect(acceptor.local_endpoint());
    acceptor.accept(receiver);
    sender.set_option(asio::ip::tcp::no_delay(true));

    std::atomic<uint64_t> received{0};
    std::atomic<bool> stop{false};
    std::atomic<pid_t> senderId{0};
    std::atomic<pid_t> receiverId{0};
    std::thread receiving([&] {
        receiverId = currentThreadId();
        receiveAll(receiver, received);
    });
    std::thread sending([&] {
        senderId = currentThreadId();
        asio::error_code error;
        while (!stop.load(std::memory_order_relaxed) && !error)
            asio::write(sender, asio::buffer(stream.bytes), error);
        sender.shutdown(asio::ip::tcp::socket::shutdown_send, error);
    });

    waitFor(received, "the socket pair");
    sleepSeconds(warmup);
    CpuWindow cpu;
    cpu.begin();
    const uint64_t before = received.load();
    const auto start = Clock::now();
    sleepSeconds(seconds);
    const uint64_t after = received.load();
    StreamFigures figures;
    figures.seconds = secondsSince(start);
    cpu.end();
    stop = true;
    sending.join();
    receiving.join();

    figures.bytes = static_cast<double>(after - before);
    figures.samples = figures.bytes / stream.bytesPerSample();
    figures.ioCpuSeconds = cpu.thread(receiverId);
    figures.cores = {{"sender", cpu.thread(senderId) / figures.seconds},
                     {"receiver", figures.ioCpuSeconds / figures.seconds}};
    return figures;
}

StreamFigures measureSimToSink(const StreamRun& run)
{
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    Sim sim(run.ktsim, run.sim);
    CommandClient commands(sim.port());
    std::atomic<uint64_t> received{0};
    std::atomic<pid_t> receiverId{0};
    std::thread receiving([&] {
        receiverId = currentThreadId();
        asio::ip::tcp::socket socket(io);
        asio::error_code error;
        acceptor.accept(socket, error);
        if (!error)
            receiveAll(socket, received);
    });
    commands.startStreaming(run.channels, acceptor.local_endpoint().port());

    waitFor(received, "ktsim");
    sleepSeconds(run.warmup);
    CpuWindow cpu(sim.pid());
    cpu.begin();
    const uint64_t before = received.load();
    const auto start = Clock::now();
    sleepSeconds(run.seconds);
    const uint64_t after = received.load();
    StreamFigures figures;
    figures.seconds = secondsSince(start);
    cpu.end();
    commands.command("STOPTRANSFER");
    receiving.join();

    figures.bytes = static_cast<double>(after - before);
    figures.samples = figures.bytes / run.bytesPerSample;
    figures.ioCpuSeconds = cpu.thread(receiverId);
    figures.cores = {{"ktsim", cpu.child() / figures.seconds}, {"receiver", figures.ioCpuSeconds / figures.seconds}};
    return figures;
}

StreamFigures measureLibrary(const StreamRun& run, int bufferSize, bool verify)
{
    std::unique_ptr<ktsim::SampleModel> model;
    if (verify)
        model = std::make_unique<ktsim::SampleModel>(ktsim::loadSetup(run.sim.setup), Sim::seed);
    const std::map<pid_t, double> before = taskCpuSeconds();
    Sim sim(run.ktsim, run.sim);
    LibrarySession session(sim, run.sim.setup, bufferSize);
    session.start();

    Rounds rounds(run.readPeriod);
    const auto first = Clock::now();
    for (;;) {
        rounds.wait();
        if (session.drain(model.get()) != 0)
            break;
        if (secondsSince(first) > 30)
            throw std::runtime_error("no data through the library");
    }
    const auto warm = Clock::now();
    while (secondsSince(warm) < run.warmup) {
        rounds.wait();
        session.drain(model.get());
    }

    CpuWindow cpu(sim.pid());
    const pid_t host = currentThreadId();
    cpu.begin();
    rounds.resetGap();
    const uint64_t overrunsBefore = session.overruns();
    uint64_t samples = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < run.seconds) {
        rounds.wait();
        samples += session.drain(model.get());
    }
    StreamFigures figures;
    figures.seconds = secondsSince(start);
    cpu.end();
    figures.overrunReads = session.overruns() - overrunsBefore;
    figures.longestGap = rounds.longestGap();
    session.stop();

    figures.samples = static_cast<double>(samples);
    figures.bytes = figures.samples * run.bytesPerSample;
    figures.ioCpuSeconds = cpu.busiestOther(before);
    figures.cores = {{"ktsim", cpu.child() / figures.seconds},
                     {"I/O", figures.ioCpuSeconds / figures.seconds},
                     {"host", cpu.thread(host) / figures.seconds}};
    figures.intact = session.intact();
    figures.overrun = figures.overrunReads > 0;
    return figures;
}

StreamFigures measureReference(const StreamRun& run, size_t capacity)
{
    ReferenceReceiver receiver(static_cast<size_t>(run.channels), capacity);
    Sim sim(run.ktsim, run.sim);
    CommandClient commands(sim.port());
    receiver.start();
    commands.startStreaming(run.channels, receiver.port());

    // The host pops every sample of every ring, one at a time.
    const auto drain = [&receiver] {
        uint64_t taken = 0;
        double value = 0;
        for (size_t c = 0; c < receiver.channels(); ++c)
            while (receiver.ring(c).pop(value))
                ++taken;
        return taken;
    };
    Rounds rounds(run.readPeriod);
    const auto first = Clock::now();
    for (;;) {
        rounds.wait();
        if (drain() != 0)
            break;
        if (secondsSince(first) > 30)
            throw std::runtime_error("no data through the reference receiver");
    }
    const auto warm = Clock::now();
    while (secondsSince(warm) < run.warmup) {
        rounds.wait();
        drain();
    }

    CpuWindow cpu(sim.pid());
    const pid_t host = currentThreadId();
    cpu.begin();
    rounds.resetGap();
    const uint64_t droppedBefore = receiver.dropped();
    uint64_t samples = 0;
    const auto start = Clock::now();
    while (secondsSince(start) < run.seconds) {
        rounds.wait();
        samples += drain();
    }
    StreamFigures figures;
    figures.seconds = secondsSince(start);
    cpu.end();
    figures.longestGap = rounds.longestGap();
    commands.command("STOPTRANSFER");
    receiver.join();

    figures.samples = static_cast<double>(samples);
    figures.bytes = figures.samples * run.bytesPerSample;
    figures.dropped = receiver.dropped() - droppedBefore;
    figures.overrun = figures.dropped > 0;
    figures.ioCpuSeconds = cpu.thread(receiver.threadId());
    figures.cores = {{"ktsim", cpu.child() / figures.seconds},
                     {"receiver", figures.ioCpuSeconds / figures.seconds},
                     {"host", cpu.thread(host) / figures.seconds}};
    return figures;
}

} // namespace ktremote::bench
