// SPDX-License-Identifier: MIT
// Host reads from a synchronous channel with computed times, by read and by
// values per call: the two reads into the host's arrays (relative and
// absolute times) and the read that allocates its arrays (freed again in the
// timed part, as a host must).
#include "PacketBuilder.h"
#include "net/NETDataReceiver.h"

#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

enum class Read { Relative, Absolute, Allocating };

template <Read R>
void BM_Read(benchmark::State& state)
{
    const auto perCall = static_cast<size_t>(state.range(0));
    asio::io_context io;
    NETDataReceiver receiver(io);
    receiver.addChannel(record("a", 5, Kind::Sync), 3000, 1000.0);
    SampleRing& ring = receiver.decoder().buffer(0).ring();
    std::vector<double> values(perCall);
    std::vector<double> times(perCall);
    for (auto _ : state) {
        // Whether older samples were dropped does not matter here: only the
        // read below is timed.
        (void)ring.write(perCall, [](SampleRing::Slot* v, SampleRing::Slot*, size_t first, size_t n) {
            for (size_t i = 0; i < n; ++i)
                SampleRing::put(v[i], static_cast<double>(first + i));
        });
        size_t count = perCall;
        const auto start = std::chrono::steady_clock::now();
        if (R == Read::Relative) {
            receiver.readScalarData2("a", values.data(), times.data(), &count);
        } else if (R == Read::Absolute) {
            receiver.readScalarData2Abs("a", values.data(), times.data(), &count);
        } else {
            double* v = nullptr;
            double* t = nullptr;
            receiver.readScalarData("a", &v, &t, &count);
            benchmark::DoNotOptimize(v);
            std::free(v);
            std::free(t);
        }
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        if (count != perCall)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(values.data());
        benchmark::DoNotOptimize(times.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perCall));
}
BENCHMARK_TEMPLATE(BM_Read, Read::Relative)
    ->Name("Read/readScalarData2")
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(3000)
    ->UseManualTime();
BENCHMARK_TEMPLATE(BM_Read, Read::Absolute)
    ->Name("Read/readScalarData2Abs")
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(3000)
    ->UseManualTime();
BENCHMARK_TEMPLATE(BM_Read, Read::Allocating)
    ->Name("Read/readScalarData")
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(3000)
    ->UseManualTime();

// The same read of 100 values from the last of many channels: what finding
// the channel's buffer by its id adds as the channel count grows.
void BM_ReadAmongChannels(benchmark::State& state)
{
    const auto channels = static_cast<int>(state.range(0));
    constexpr size_t kPerCall = 100;
    asio::io_context io;
    NETDataReceiver receiver(io);
    for (int c = 0; c < channels; ++c)
        receiver.addChannel(record("0,1," + std::to_string(c + 1), 5, Kind::Sync), 3000, 1000.0);
    const std::string id = "0,1," + std::to_string(channels);
    SampleRing& ring = receiver.decoder().buffer(static_cast<size_t>(channels - 1)).ring();
    std::vector<double> values(kPerCall);
    std::vector<double> times(kPerCall);
    for (auto _ : state) {
        // Whether older samples were dropped does not matter here: only the
        // read below is timed.
        (void)ring.write(kPerCall, [](SampleRing::Slot* v, SampleRing::Slot*, size_t first, size_t n) {
            for (size_t i = 0; i < n; ++i)
                SampleRing::put(v[i], static_cast<double>(first + i));
        });
        size_t count = kPerCall;
        const auto start = std::chrono::steady_clock::now();
        receiver.readScalarData2(id, values.data(), times.data(), &count);
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        benchmark::DoNotOptimize(values.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPerCall));
}
BENCHMARK(BM_ReadAmongChannels)
    ->Name("Read/readScalarData2_100_of_last_channel")
    ->Arg(1)
    ->Arg(64)
    ->Arg(1024)
    ->UseManualTime();

} // namespace
