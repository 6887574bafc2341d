// SPDX-License-Identifier: MIT
// Two-thread throughput of SampleRing (batches published once) against a
// classic single-producer/single-consumer ring that moves one item at a time,
// both at capacity 3000, both lossless (the producer waits for room).
#include "ClassicRing.h"
#include "net/SampleRing.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

using ktremote::SampleRing;
using ktremote::bench::ClassicRing;

namespace {

constexpr size_t kCapacity = 3000;
constexpr uint64_t kItems = 10'000'000; // per benchmark iteration

void BM_ClassicRing(benchmark::State& state)
{
    for (auto _ : state) {
        ClassicRing ring(kCapacity);
        std::thread producer([&] {
            for (uint64_t i = 0; i < kItems; ++i) {
                while (!ring.push(static_cast<double>(i)))
                    std::this_thread::yield(); // fair to both rings on a busy machine
            }
        });
        double sum = 0;
        double value;
        for (uint64_t i = 0; i < kItems; ++i) {
            while (!ring.pop(value))
                std::this_thread::yield();
            sum += value;
        }
        producer.join();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}
BENCHMARK(BM_ClassicRing)->Name("Ring/classic_one_at_a_time")->UseRealTime()->Unit(benchmark::kMillisecond);

// Batches of up to `batch` items each way, as the decoder writes blocks and
// the host reads arrays.
void BM_SampleRing(benchmark::State& state)
{
    const size_t batch = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        SampleRing ring(kCapacity, false);
        std::thread producer([&] {
            uint64_t next = 0;
            while (next < kItems) {
                const size_t room = ring.writable();
                if (room == 0) {
                    std::this_thread::yield();
                    continue;
                }
                const size_t n = static_cast<size_t>(std::min<uint64_t>({room, batch, kItems - next}));
                // Never drops: the batch fits the room that writable() found.
                (void)ring.write(n, [&](SampleRing::Slot* v, SampleRing::Slot*, size_t first, size_t count) {
                    for (size_t i = 0; i < count; ++i)
                        SampleRing::put(v[i], static_cast<double>(next + first + i));
                });
                next += n;
            }
        });
        std::vector<double> out(batch);
        double sum = 0;
        uint64_t taken = 0;
        while (taken < kItems) {
            const size_t n = ring.read(out.data(), nullptr, batch);
            if (n == 0)
                std::this_thread::yield();
            for (size_t i = 0; i < n; ++i)
                sum += out[i];
            taken += n;
        }
        producer.join();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kItems));
}
BENCHMARK(BM_SampleRing)
    ->Name("Ring/sample_ring_batches")
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
