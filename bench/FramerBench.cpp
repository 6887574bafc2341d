// SPDX-License-Identifier: MIT
// Framing and decoding with the library's framer, which decodes each block
// as soon as it belongs to its packet, against the whole-packet framer kept
// in fuzz/ as the reference, on the same decoder and the same streams, in
// 128 KiB reads. Each takes its turn three times per stream; a figure is the
// best of 20 passes over the stream in CPU time of this thread, and the
// ratio compares the two of the same turn.
//
//   ktremote_framer_bench

#include "PacketBuilder.h"
#include "ReferenceFramer.h"
#include "net/BlockDecoder.h"
#include "net/PacketFramer.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

struct Stream {
    const char* what;
    int channels;
    size_t samples; // per block
    size_t ring;    // samples per channel buffer
    int packets;
};

double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// M samples per second of CPU time, best of `passes`.
template <class Framer>
double samplesPerSecond(const Stream& s, const std::vector<uint8_t>& bytes, int passes)
{
    BlockDecoder decoder;
    for (int c = 0; c < s.channels; ++c)
        decoder.addBuffer(
            std::make_unique<NETChannelBuffer>(record("c" + std::to_string(c), 5, Kind::Sync), s.ring, 1000.0));
    Framer framer(decoder);
    constexpr size_t kRead = size_t{128} << 10;
    double best = 1e30;
    for (int pass = 0; pass < passes; ++pass) {
        const double start = threadSeconds();
        for (size_t at = 0; at < bytes.size(); at += kRead) {
            const size_t n = std::min(kRead, bytes.size() - at);
            std::memcpy(framer.prepare(n), bytes.data() + at, n); // stands in for the socket read
            framer.commit(n);
        }
        best = std::min(best, threadSeconds() - start);
    }
    return static_cast<double>(s.channels) * static_cast<double>(s.samples) * s.packets / best / 1e6;
}

} // namespace

int main()
{
    const Stream streams[] = {
        {"8 channels x 1000 samples (32 KB packets), rings of 3000", 8, 1000, 3000, 64},
        {"64 channels x 2500 samples (640 KB packets), rings of 131072", 64, 2500, 131072, 16},
        {"64 channels x 25000 samples (6.4 MB packets), rings of 131072", 64, 25000, 131072, 4},
    };
    std::printf("| Stream | Whole-packet framer, M samples/s | Per-block framer, M samples/s | Ratio |\n"
                "|---|---:|---:|---:|\n");
    for (const Stream& s : streams) {
        PacketBuilder p(1.0);
        std::vector<float> values(s.samples);
        for (size_t i = 0; i < s.samples; ++i)
            values[i] = static_cast<float>(i % 1000) + 0.5f;
        for (int c = 0; c < s.channels; ++c)
            p.sync(values);
        const std::vector<uint8_t> packet = p.packet();
        std::vector<uint8_t> bytes;
        for (int k = 0; k < s.packets; ++k)
            bytes.insert(bytes.end(), packet.begin(), packet.end());
        for (int turn = 0; turn < 3; ++turn) {
            const double whole = samplesPerSecond<fuzz::ReferenceFramer>(s, bytes, 20);
            const double perBlock = samplesPerSecond<PacketFramer>(s, bytes, 20);
            std::printf("| %s | %.0f | %.0f | %.2f× |\n", s.what, whole, perBlock, perBlock / whole);
        }
    }
    return 0;
}
