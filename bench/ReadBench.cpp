// Host reads of 1000 values with computed times from a synchronous channel.
#include "PacketBuilder.h"
#include "net/NETDataReceiver.h"

#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>

#include <chrono>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

constexpr size_t kValues = 1000;

template <bool Absolute>
void BM_Read(benchmark::State& state)
{
    asio::io_context io;
    NETDataReceiver receiver(io);
    receiver.addChannel(record("a", 5, Kind::Sync), -1, 1000.0);
    SampleRing& ring = receiver.decoder().buffer(0).ring();
    std::vector<double> values(kValues);
    std::vector<double> times(kValues);
    for (auto _ : state) {
        ring.write(kValues, [](SampleRing::Slot* v, SampleRing::Slot*, size_t first, size_t n) {
            for (size_t i = 0; i < n; ++i)
                SampleRing::put(v[i], static_cast<double>(first + i));
        });
        const auto start = std::chrono::steady_clock::now();
        size_t count = kValues;
        if (Absolute)
            receiver.readScalarData2Abs("a", values.data(), times.data(), &count);
        else
            receiver.readScalarData2("a", values.data(), times.data(), &count);
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
        benchmark::DoNotOptimize(values.data());
        benchmark::DoNotOptimize(times.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kValues));
}
BENCHMARK_TEMPLATE(BM_Read, false)->Name("Read/readScalarData2/1000")->UseManualTime();
BENCHMARK_TEMPLATE(BM_Read, true)->Name("Read/readScalarData2Abs/1000")->UseManualTime();

} // namespace
