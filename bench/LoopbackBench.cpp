// SPDX-License-Identifier: MIT
// Packets through the whole receive path over loopback TCP: the listener,
// a data connection reading whatever has arrived, framing and decoding into
// the rings, on an I/O thread as in an instance.
#include "AllocationCount.h"
#include "PacketBuilder.h"
#include "net/NETDataReceiver.h"

#include <benchmark/benchmark.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <string>
#include <thread>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

constexpr int kChannels = 8;
constexpr int kSamples = 1000;
constexpr int kPacketsPerChunk = 32;
constexpr int kChunks = 512; // per iteration: about 512 MiB

void BM_Loopback(benchmark::State& state)
{
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread ioThread([&] { io.run(); });
    {
        NETDataReceiver receiver(io);
        for (int c = 0; c < kChannels; ++c)
            receiver.addChannel(record("c" + std::to_string(c), 5, Kind::Sync), -1, 1000.0);
        std::fflush(stdout);
        receiver.listen(0);

        std::vector<uint8_t> chunk;
        for (int i = 0; i < kPacketsPerChunk; ++i) {
            PacketBuilder p(1.0);
            std::vector<float> samples(kSamples, 1.5f);
            for (int c = 0; c < kChannels; ++c)
                p.sync(samples);
            const auto bytes = p.packet();
            chunk.insert(chunk.end(), bytes.begin(), bytes.end());
        }

        asio::io_context clientIo;
        asio::ip::tcp::socket client(clientIo);
        client.connect({asio::ip::address_v4::loopback(), receiver.localPort()});
        client.set_option(asio::ip::tcp::no_delay(true));
        const SampleRing& ring = receiver.decoder().buffer(kChannels - 1).ring();
        uint64_t expected = 0;
        uint64_t allocations = 0;
        bool warm = false;
        for (auto _ : state) {
            const uint64_t before = allocationCount();
            for (int i = 0; i < kChunks; ++i)
                asio::write(client, asio::buffer(chunk));
            expected += uint64_t{kChunks} * kPacketsPerChunk * kSamples;
            while (ring.written() < expected)
                std::this_thread::yield();
            if (warm)
                allocations += allocationCount() - before;
            warm = true;
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunks * chunk.size()));
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kChunks * kPacketsPerChunk * kChannels *
                                kSamples);
        state.counters["allocs_after_first"] = static_cast<double>(allocations);
    }
    work.reset();
    io.stop();
    ioThread.join();
}
BENCHMARK(BM_Loopback)
    ->Name("Loopback/frame_and_decode/sync_float")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

} // namespace
