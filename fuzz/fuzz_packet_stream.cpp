// SPDX-License-Identifier: MIT
// The data stream: packet framing and block decoding.
//
// Input: a channel layout (count, then per channel its kind, data type,
// conversion factors and ring size), a chunking seed, then the stream bytes.
// The stream is fed three times: in one piece, in pseudo-random pieces and
// in tiny pieces. Checked:
//  * every packet body handed to the decoder lies between a start marker and
//    an end marker, and decoding reads nothing outside it (the decoder gets
//    an exact-size copy, so ASan sees any read past its end);
//  * the bytes held back never exceed the packet size cap;
//  * all three feeds cut the same packet bodies, count the same packets,
//    faults and discarded bytes, fix the same start time and decode the same
//    values and timestamps, bit for bit;
//  * a ring smaller than the stream keeps exactly the newest samples and
//    reports the overflow; a large enough one reports none.

#include "FuzzInput.h"

#include "net/BlockDecoder.h"
#include "net/PacketFramer.h"

#include <cstring>
#include <memory>
#include <vector>

using namespace ktremote;
using ktremote::fuzz::Chunker;
using ktremote::fuzz::FuzzInput;

namespace {

constexpr uint8_t kStartMarker[8] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr uint8_t kEndMarker[7] = {7, 6, 5, 4, 3, 2, 1};

// A framer that checks where each packet body lies, keeps a copy of it and
// has it decoded from an exact-size copy.
class CheckingFramer : public PacketFramer {
public:
    CheckingFramer(BlockDecoder& decoder, size_t initialCapacity, std::vector<std::vector<uint8_t>>& collected)
        : PacketFramer(decoder, initialCapacity), bodies(collected)
    {
    }

protected:
    bool decodeBody(const uint8_t* body, size_t size) override
    {
        // The framer hands out the bytes between the markers: its buffer
        // holds the start marker right before the body and the end marker
        // right after.
        FUZZ_CHECK(std::memcmp(body - 8, kStartMarker, 8) == 0);
        FUZZ_CHECK(std::memcmp(body + size, kEndMarker, 7) == 0);
        std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
        if (size > 0)
            std::memcpy(copy.get(), body, size);
        bodies.emplace_back(body, body + size);
        return PacketFramer::decodeBody(copy.get(), size);
    }

private:
    std::vector<std::vector<uint8_t>>& bodies;
};

struct ChannelLayout {
    ChannelRecord record;
    size_t smallCapacity;
};

struct ChannelResult {
    std::vector<double> values;
    std::vector<double> times;
    uint64_t written = 0;
};

struct FeedResult {
    std::vector<std::vector<uint8_t>> bodies;
    std::vector<ChannelResult> channels;
    PacketFramer::Stats stats;
    size_t pending = 0;
    double startTime = 0.0;
    bool overflowed = false;
};

std::vector<ChannelLayout> readLayout(FuzzInput& in)
{
    static constexpr int32_t kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, -1, 2};
    static constexpr double kFactors[][4] = {
        {1.0, 0.0, 0.0, 0.0},    {2.0, 1.0, 0.0, 0.0}, {2.0, 1.0, 10.0, 0.0},   {0.5, -3.0, 0.0, 0.25},
        {1e-3, 5.0, -2.0, 1e10}, {0.0, 0.0, 0.0, 0.0}, {1e308, 0.0, 10.0, 0.0}, {-1.0, 0.5, 0.0, 0.0},
    };
    std::vector<ChannelLayout> layout(in.byte() % 9);
    for (ChannelLayout& channel : layout) {
        const uint8_t kind = in.byte();
        const uint8_t type = in.byte();
        const uint8_t factors = in.byte();
        ChannelRecord& r = channel.record;
        r.isAsync = kind % 3 == 0;
        r.isSingleValue = kind % 3 == 2;
        r.dataType = kTypes[type % (sizeof kTypes / sizeof kTypes[0])];
        r.sampleSize = 0; // taken from the data type
        const double* f = kFactors[factors % 8];
        r.scale1 = f[0];
        r.offset1 = f[1];
        r.scale2 = f[2];
        r.offset2 = f[3];
        r.id = "0," + std::to_string(&channel - layout.data());
        channel.smallCapacity = 1 + (kind >> 2) % 5;
    }
    return layout;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Feeds the stream in pieces of sizes drawn from chunker (or in one piece
// without one) into a fresh decoder and collects what came out.
FeedResult feed(const std::vector<ChannelLayout>& layout, bool small, const uint8_t* data, size_t size,
                Chunker* chunker, size_t maxChunk)
{
    FeedResult result;
    BlockDecoder decoder;
    for (const ChannelLayout& channel : layout) {
        // size + 1 holds every sample a stream of size bytes can carry.
        const size_t capacity = small ? channel.smallCapacity : size + 1;
        decoder.addBuffer(std::make_unique<NETChannelBuffer>(channel.record, capacity, 100.0));
    }
    CheckingFramer framer(decoder, 64, result.bodies);
    for (size_t at = 0; at < size;) {
        const size_t n = chunker ? std::min(size - at, chunker->size(maxChunk)) : size - at;
        framer.append(data + at, n);
        FUZZ_CHECK(framer.pendingBytes() <= PacketFramer::kMaxPacketBytes);
        at += n;
    }

    result.stats = framer.stats();
    result.pending = framer.pendingBytes();
    result.startTime = decoder.startTime();
    result.overflowed = decoder.overflowed();
    FUZZ_CHECK(result.stats.packets == result.bodies.size());
    FUZZ_CHECK(result.stats.malformed <= result.stats.packets);
    for (size_t c = 0; c < decoder.bufferCount(); ++c) {
        NETChannelBuffer& buffer = decoder.buffer(c);
        ChannelResult channel;
        channel.written = buffer.ring().written();
        const size_t held = buffer.ring().readable();
        channel.values.resize(held);
        channel.times.resize(held);
        FUZZ_CHECK(buffer.ring().read(channel.values.data(), channel.times.data(), held) == held);
        if (buffer.kind == ChannelKind::Sync) // the others carry a time with every value
            channel.times.clear();
        result.channels.push_back(std::move(channel));
    }
    return result;
}

void checkSame(const FeedResult& a, const FeedResult& b)
{
    FUZZ_CHECK(a.bodies == b.bodies);
    FUZZ_CHECK(a.stats.packets == b.stats.packets);
    FUZZ_CHECK(a.stats.malformed == b.stats.malformed);
    FUZZ_CHECK(a.stats.oversized == b.stats.oversized);
    FUZZ_CHECK(a.stats.discardedBytes == b.stats.discardedBytes);
    FUZZ_CHECK(a.pending == b.pending);
    FUZZ_CHECK(std::memcmp(&a.startTime, &b.startTime, sizeof(double)) == 0);
    FUZZ_CHECK(a.channels.size() == b.channels.size());
    for (size_t c = 0; c < a.channels.size(); ++c) {
        FUZZ_CHECK(a.channels[c].written == b.channels[c].written);
        FUZZ_CHECK(sameBits(a.channels[c].values, b.channels[c].values));
        FUZZ_CHECK(sameBits(a.channels[c].times, b.channels[c].times));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const std::vector<ChannelLayout> layout = readLayout(in);
    const uint32_t seed = in.u32();
    const uint8_t* stream = in.rest();
    const size_t streamSize = in.restSize();

    const FeedResult whole = feed(layout, false, stream, streamSize, nullptr, 0);
    FUZZ_CHECK(!whole.overflowed);

    Chunker random(seed);
    const FeedResult pieces = feed(layout, false, stream, streamSize, &random, 512);
    checkSame(whole, pieces);

    Chunker tiny(seed ^ 0x9e3779b9u);
    const FeedResult bytes = feed(layout, false, stream, streamSize, &tiny, 3);
    checkSame(whole, bytes);

    // Small rings: the newest samples of the same sequence, and an overflow
    // exactly when samples were dropped.
    Chunker again(seed);
    const FeedResult small = feed(layout, true, stream, streamSize, &again, 64);
    bool dropped = false;
    for (size_t c = 0; c < layout.size(); ++c) {
        const ChannelResult& full = whole.channels[c];
        const ChannelResult& tail = small.channels[c];
        const size_t keep = std::min(full.values.size(), layout[c].smallCapacity);
        dropped = dropped || full.values.size() > keep;
        FUZZ_CHECK(tail.written == full.written);
        FUZZ_CHECK(sameBits(tail.values, std::vector<double>(full.values.end() - keep, full.values.end())));
        if (!full.times.empty())
            FUZZ_CHECK(sameBits(tail.times, std::vector<double>(full.times.end() - keep, full.times.end())));
    }
    FUZZ_CHECK(small.overflowed == dropped);
    return 0;
}
