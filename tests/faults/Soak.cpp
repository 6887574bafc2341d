// SPDX-License-Identifier: MIT
// Soak run: measurement after measurement against ktsim with stream faults
// chosen at random, reading every channel and checking every value and time
// against what ktsim sent. Prints samples checked, faults injected and
// errors seen; exits with 1 when any error was seen.
//
//   ktremote_soak [SECONDS] [SEED]     default 300 s, seed from the clock
//
// With --instances, test runs of a test sequencer instead (an instance per
// run, created, measured with and destroyed; see testRun): prints what the
// process holds as it goes, and exits with 1 when a run failed or the
// process holds more threads or descriptors after the last run than after
// the second, or more than 8 MiB more resident memory.
//
//   ktremote_soak --instances [RUNS]   default 1000

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"
#include "TestRuns.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace ktremote::e2e;

namespace {

struct Totals {
    uint64_t rounds = 0;
    uint64_t samples = 0;
    uint64_t faults = 0;
    uint64_t errors = 0;
};

// A malformed-packet fault and how often it comes.
struct Malformed {
    const char* name;
    int every;
};

// Packets ktsim sent on its data connections, from its log.
uint64_t packetsSent(const std::string& log)
{
    uint64_t packets = 0;
    const std::string key = "data connection closed after ";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
        packets += std::strtoull(log.c_str() + at + key.size(), nullptr, 10);
    return packets;
}

void round(std::mt19937& random, double seconds, Totals& totals)
{
    std::vector<std::string> options;
    std::vector<Malformed> malformed;
    int garbage = 0;
    const auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    const auto add = [&](const std::string& faultText) {
        options.push_back("--fault");
        options.push_back(faultText);
    };
    if (chance(50))
        add("split-packets=1");
    if (chance(50))
        add("split-replies=1");
    if (chance(30))
        add("coalesce=" + std::to_string(2 + random() % 4));
    if (chance(50)) {
        garbage = 1 + static_cast<int>(random() % 64);
        add("garbage=" + std::to_string(garbage));
    }
    for (const char* kind : {"short-body", "block-past-body", "negative-count", "huge-count"}) {
        if (chance(50)) {
            const int every = 2 + static_cast<int>(random() % 20);
            malformed.push_back({kind, every});
            add(std::string(kind) + "=" + std::to_string(every));
        }
    }
    const bool second = chance(30);
    if (second)
        add("second-data-connection");

    std::string faults;
    for (size_t i = 1; i < options.size(); i += 2)
        faults += " " + options[i];
    std::printf("faults:%s\n", faults.c_str());
    std::fflush(stdout);
    Ktsim sim(options);
    const ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
        ::KTXInstance* app = connectFast(sim.connectText(freePort()));
        size_t count = 0;
        if (ktconGetChannelCount(app, &count) != KX_OK) {
            ++totals.errors;
            return;
        }
        std::vector<Reading> readings = openReadings(app, model);
        ktconSetBufferSize(app, 1000000);
        if (ktconStartMeasurement(app) != KX_OK)
            ++totals.errors;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        readUntil(readings, [&] { return std::chrono::steady_clock::now() >= end; });
        if (ktconStopMeasurement(app) != KX_OK)
            ++totals.errors;
        readRest(readings, sim, 1);
        const double start = readings.front().times.empty() ? 0.0 : readings.front().times.front();
        for (const Reading& reading : readings) {
            expectExactDelivery(model, reading, start);
            totals.samples += reading.values.size();
            if (reading.lastResult != KX_OK || reading.overrun)
                ++totals.errors;
        }
        ktconDisconnect(app);
    }
    totals.errors += static_cast<uint64_t>(failures.size());
    for (int i = 0; i < failures.size() && i < 5; ++i)
        std::fprintf(stderr, "%s\n", failures.GetTestPartResult(i).message());

    const uint64_t packets = packetsSent(sim.log());
    for (const Malformed& fault : malformed)
        totals.faults += packets / static_cast<uint64_t>(fault.every);
    if (garbage > 0)
        totals.faults += packets;
    if (second)
        ++totals.faults;
    ++totals.rounds;
}

void printHoldings(int run, const Holdings& now, const Holdings& start)
{
    std::printf("after run %d: resident %+ld KiB, threads %+ld, descriptors %+ld, heap %+lld bytes\n", run,
                now.residentKiB - start.residentKiB, now.threads - start.threads, now.descriptors - start.descriptors,
                static_cast<long long>(now.heapBytes) - static_cast<long long>(start.heapBytes));
    std::fflush(stdout);
}

int instanceRuns(int runs)
{
    Ktsim sim;
    const std::string text = sim.connectText(freePort());
    const Holdings start = holdings();
    Holdings second;
    Holdings now;
    uint64_t errors = 0;
    for (int run = 1; run <= runs; ++run) {
        ::testing::TestPartResultArray failures;
        {
            ::testing::ScopedFakeTestPartResultReporter reporter(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
            testRun(sim, text);
        }
        errors += static_cast<uint64_t>(failures.size());
        for (int i = 0; i < failures.size() && i < 5; ++i)
            std::fprintf(stderr, "run %d: %s\n", run, failures.GetTestPartResult(i).message());
        now = holdings();
        if (run == 2)
            second = now;
        if (run <= 3 || run == 5 || run % 100 == 0 || run == runs)
            printHoldings(run, now, start);
    }
    const bool grew = runs >= 2 &&
        (now.threads != second.threads || now.descriptors != second.descriptors ||
         now.residentKiB > second.residentKiB + 8 * 1024);
    std::printf("instances done: %d runs, %llu errors, %s\n", runs, static_cast<unsigned long long>(errors),
                grew ? "the process holds more than after the second run" : "nothing grew");
    return errors == 0 && !grew ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--instances")
        return instanceRuns(argc > 2 ? std::atoi(argv[2]) : 1000);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 300.0;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10))
                                   : static_cast<unsigned>(std::random_device{}());
    std::printf("soak: %.0f s, seed %u\n", seconds, seed);
    std::mt19937 random(seed);
    Totals totals;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const double left = std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count();
        round(random, std::max(1.0, std::min(left, 2.0 + random() % 9)), totals);
        std::printf("round %llu: %llu samples checked, %llu faults injected, %llu errors\n",
                    static_cast<unsigned long long>(totals.rounds), static_cast<unsigned long long>(totals.samples),
                    static_cast<unsigned long long>(totals.faults), static_cast<unsigned long long>(totals.errors));
        std::fflush(stdout);
    }
    std::printf("soak done: %llu rounds, %llu samples checked, %llu faults injected, %llu errors seen\n",
                static_cast<unsigned long long>(totals.rounds), static_cast<unsigned long long>(totals.samples),
                static_cast<unsigned long long>(totals.faults), static_cast<unsigned long long>(totals.errors));
    return totals.errors == 0 ? 0 : 1;
}
