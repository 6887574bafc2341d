// SPDX-License-Identifier: MIT
// Allocations on the hot path once a measurement runs: framing and decoding
// a stream of packets into the rings, and host reads of every kind.
#include "AllocationCount.h"
#include "PacketBuilder.h"
#include "net/NETDataReceiver.h"

#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace ktremote;
using namespace ktremote::test;

void BM_AllocationsAfterStart(benchmark::State& state)
{
    asio::io_context io;
    NETDataReceiver receiver(io);
    receiver.addChannel(record("sync", 2, Kind::Sync, 0.5, 1), -1, 1000.0);
    receiver.addChannel(record("async", 7, Kind::Async), -1, 10.0);
    receiver.addChannel(record("single", 5, Kind::Single), -1, -1.0);
    std::vector<uint8_t> stream;
    for (int i = 0; i < 16; ++i) {
        PacketBuilder p(1.0);
        p.sync(std::vector<int16_t>(500, 3));
        p.async(std::vector<double>(50, 1.0), std::vector<double>(50, 0.5));
        p.single(1, 2.5f);
        const auto bytes = p.packet();
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    auto framer = receiver.makeFramer();
    std::vector<double> values(1000);
    std::vector<double> times(1000);
    const std::string ids[] = {"sync", "async", "single"};
    auto run = [&] {
        for (size_t at = 0; at < stream.size(); at += 4096) {
            const size_t n = std::min<size_t>(4096, stream.size() - at);
            framer->append(stream.data() + at, n);
        }
        for (const std::string& id : ids) {
            size_t count = 1000;
            receiver.readScalarData2(id, values.data(), times.data(), &count);
            count = 1000;
            receiver.readScalarData2Abs(id, values.data(), times.data(), &count);
        }
    };
    run(); // start-up: buffers reach their working size
    uint64_t allocations = 0;
    for (auto _ : state) {
        const uint64_t before = allocationCount();
        run();
        allocations += allocationCount() - before;
    }
    state.counters["allocs_per_iteration"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_AllocationsAfterStart)->Name("Allocations/frame_decode_read_after_start");

} // namespace
