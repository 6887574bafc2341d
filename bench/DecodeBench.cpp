// SPDX-License-Identifier: MIT
// Decoding packets into channel rings on one core, by data type and kind,
// and framing plus decoding of a stream held in memory.
#include "PacketBuilder.h"
#include "net/BlockDecoder.h"
#include "net/PacketFramer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <memory>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

constexpr int kChannels = 8;
constexpr int kSamples = 1000; // per channel and packet

template <typename Raw>
std::vector<uint8_t> body(Kind kind, double packetTime = 1.0)
{
    PacketBuilder p(packetTime);
    std::vector<Raw> samples(kSamples);
    std::vector<double> times(kSamples);
    for (int i = 0; i < kSamples; ++i) {
        samples[static_cast<size_t>(i)] = static_cast<Raw>(i % 100);
        times[static_cast<size_t>(i)] = i * 0.001;
    }
    for (int c = 0; c < kChannels; ++c) {
        if (kind == Kind::Async)
            p.async(samples, times);
        else
            p.sync(samples);
    }
    return p.body();
}

void addChannels(BlockDecoder& decoder, int32_t dataType, Kind kind, bool scaled)
{
    for (int c = 0; c < kChannels; ++c) {
        const ChannelRecord r = scaled ? record("c" + std::to_string(c), dataType, kind, 0.5, 1.0, 2.0, 0.25)
                                       : record("c" + std::to_string(c), dataType, kind);
        decoder.addBuffer(std::make_unique<NETChannelBuffer>(r, 3000, 1000.0));
    }
}

template <typename Raw, int32_t DataType, Kind K, bool Scaled>
void BM_Decode(benchmark::State& state)
{
    BlockDecoder decoder;
    addChannels(decoder, DataType, K, Scaled);
    const auto packet = body<Raw>(K);
    decoder.decodePacket(packet.data(), packet.size());
    for (auto _ : state) {
        decoder.decodePacket(packet.data(), packet.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kChannels * kSamples);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}

BENCHMARK_TEMPLATE(BM_Decode, float, 5, Kind::Sync, false)->Name("Decode/sync/float");
BENCHMARK_TEMPLATE(BM_Decode, int16_t, 2, Kind::Sync, true)->Name("Decode/sync/int16_scaled");
BENCHMARK_TEMPLATE(BM_Decode, uint8_t, 0, Kind::Sync, true)->Name("Decode/sync/uint8_scaled");
BENCHMARK_TEMPLATE(BM_Decode, int32_t, 4, Kind::Sync, true)->Name("Decode/sync/int32_scaled");
BENCHMARK_TEMPLATE(BM_Decode, double, 7, Kind::Sync, false)->Name("Decode/sync/double");
BENCHMARK_TEMPLATE(BM_Decode, int64_t, 6, Kind::Sync, false)->Name("Decode/sync/int64");
BENCHMARK_TEMPLATE(BM_Decode, float, 5, Kind::Async, false)->Name("Decode/async/float");
BENCHMARK_TEMPLATE(BM_Decode, int16_t, 2, Kind::Async, true)->Name("Decode/async/int16_scaled");
BENCHMARK_TEMPLATE(BM_Decode, double, 7, Kind::Async, false)->Name("Decode/async/double");

// Single-value channels: one sample per block, so this measures the per-block
// cost of the walk.
void BM_DecodeSingleValue(benchmark::State& state)
{
    BlockDecoder decoder;
    PacketBuilder p(1.0);
    for (int c = 0; c < 256; ++c) {
        decoder.addBuffer(
            std::make_unique<NETChannelBuffer>(record("s" + std::to_string(c), 5, Kind::Single), 3000, -1));
        p.single<float>(1, 1.5f);
    }
    const auto& packet = p.body();
    for (auto _ : state)
        decoder.decodePacket(packet.data(), packet.size());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_DecodeSingleValue)->Name("Decode/single/float");

// Framing and decoding of a stream of whole packets in 128 KiB reads, as the
// receive loop hands them over.
// Hands the stream to the framer in reads of 128 KiB, as the data
// connection does; the copy stands in for the socket read.
void feedInReads(PacketFramer& framer, const std::vector<uint8_t>& stream)
{
    constexpr size_t kRead = size_t{128} << 10;
    for (size_t at = 0; at < stream.size(); at += kRead) {
        const size_t n = std::min(kRead, stream.size() - at);
        std::memcpy(framer.prepare(n), stream.data() + at, n);
        framer.commit(n);
    }
}

void BM_FrameAndDecode(benchmark::State& state)
{
    BlockDecoder decoder;
    addChannels(decoder, 5, Kind::Sync, false);
    std::vector<uint8_t> stream;
    for (int i = 0; i < 64; ++i) {
        PacketBuilder p(1.0);
        std::vector<float> samples(kSamples, 1.5f);
        for (int c = 0; c < kChannels; ++c)
            p.sync(samples);
        const auto bytes = p.packet();
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    PacketFramer framer(decoder);
    framer.append(stream.data(), stream.size());
    for (auto _ : state) {
        feedInReads(framer, stream);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 64 * kChannels * kSamples);
}
BENCHMARK(BM_FrameAndDecode)->Name("FrameAndDecode/sync/float");

// The same for packets as ktsim sends them at a high rate: 64 float32
// channels of 25 000 samples (6.4 MB per packet, 5 ms at 5 MHz per
// channel), into rings of 131 072 samples, which are stored past the caches.
// Packets this large leave the caches before their end marker comes, unless
// each block is decoded as it arrives.
void BM_FrameAndDecodeLargePackets(benchmark::State& state)
{
    constexpr int channels = 64;
    constexpr size_t samples = 25000;
    BlockDecoder decoder;
    for (int c = 0; c < channels; ++c)
        decoder.addBuffer(
            std::make_unique<NETChannelBuffer>(record("c" + std::to_string(c), 5, Kind::Sync), 131072, 1000.0));
    PacketBuilder p(1.0);
    std::vector<float> values(samples);
    for (size_t i = 0; i < samples; ++i)
        values[i] = static_cast<float>(i % 1000) + 0.5f;
    for (int c = 0; c < channels; ++c)
        p.sync(values);
    const auto packet = p.packet();
    std::vector<uint8_t> stream;
    for (int i = 0; i < 4; ++i)
        stream.insert(stream.end(), packet.begin(), packet.end());
    PacketFramer framer(decoder);
    for (auto _ : state) {
        feedInReads(framer, stream);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 4 * channels * static_cast<int64_t>(samples));
}
BENCHMARK(BM_FrameAndDecodeLargePackets)->Name("FrameAndDecode/sync/float/6.4MB-packets");

} // namespace
