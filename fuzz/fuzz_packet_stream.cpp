// SPDX-License-Identifier: MIT
// The data stream: packet framing and block decoding, against the reference
// framer that decoded each packet whole once it had arrived.
//
// Input: a channel layout (count, then per channel its kind, data type,
// conversion factors and ring size), a chunking seed, then the stream bytes.
// The reference framer gets the stream in one piece; PacketFramer, which
// decodes each block as soon as it belongs to its packet, gets it in one
// piece, in pseudo-random pieces and in tiny pieces. Checked:
//  * the reference hands the decoder only bodies that lie between a start
//    and an end marker, and decoding reads nothing outside them (it gets an
//    exact-size copy, so ASan sees any read past its end);
//  * every feed counts the same packets, faults, dropped packets and
//    discarded bytes as the reference, fixes the same start time, and
//    delivers the same values and timestamps, bit for bit, with the same
//    stream indices; PacketFramer never holds more than the reference;
//  * with rings smaller than the stream, both keep the same newest samples
//    with the same stream indices and report the same overflow, exactly when
//    samples were dropped.

#include "FuzzInput.h"

#include "net/BlockDecoder.h"
#include "ReferenceFramer.h"
#include "net/PacketFramer.h"

#include <cstring>
#include <memory>
#include <vector>

using namespace ktremote;
using ktremote::fuzz::Chunker;
using ktremote::fuzz::FuzzInput;
using ktremote::fuzz::ReferenceFramer;

namespace {

constexpr uint8_t kStartMarker[8] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr uint8_t kEndMarker[7] = {7, 6, 5, 4, 3, 2, 1};

// The reference framer, checking where each packet body lies and having it
// decoded from an exact-size copy.
class CheckingReference : public ReferenceFramer {
public:
    explicit CheckingReference(BlockDecoder& decoder) : ReferenceFramer(decoder, 64) {}

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
        return ReferenceFramer::decodeBody(copy.get(), size);
    }
};

struct ChannelLayout {
    ChannelRecord record;
    size_t smallCapacity;
};

struct ChannelResult {
    std::vector<double> values;
    std::vector<double> times;
    uint64_t written = 0;
    uint64_t firstIndex = 0; // stream index of the first value read
};

struct FeedResult {
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

BlockDecoder& addBuffers(BlockDecoder& decoder, const std::vector<ChannelLayout>& layout, bool small, size_t size)
{
    for (const ChannelLayout& channel : layout) {
        // size + 1 holds every sample a stream of size bytes can carry.
        const size_t capacity = small ? channel.smallCapacity : size + 1;
        decoder.addBuffer(std::make_unique<NETChannelBuffer>(channel.record, capacity, 100.0));
    }
    return decoder;
}

template <class Stats>
void collect(FeedResult& result, BlockDecoder& decoder, const Stats& stats, size_t pending)
{
    result.stats = {stats.packets, stats.malformed, stats.oversized, stats.discardedBytes};
    result.pending = pending;
    result.startTime = decoder.startTime();
    result.overflowed = decoder.overflowed();
    FUZZ_CHECK(result.stats.malformed <= result.stats.packets);
    for (size_t c = 0; c < decoder.bufferCount(); ++c) {
        NETChannelBuffer& buffer = decoder.buffer(c);
        ChannelResult channel;
        channel.written = buffer.ring().written();
        const size_t held = buffer.ring().readable();
        channel.values.resize(held);
        channel.times.resize(held);
        FUZZ_CHECK(buffer.ring().read(channel.values.data(), channel.times.data(), held, &channel.firstIndex) == held);
        if (buffer.kind == ChannelKind::Sync) // the others carry a time with every value
            channel.times.clear();
        result.channels.push_back(std::move(channel));
    }
}

// The reference, fed the whole stream at once.
FeedResult reference(const std::vector<ChannelLayout>& layout, bool small, const uint8_t* data, size_t size)
{
    FeedResult result;
    BlockDecoder decoder;
    CheckingReference framer(addBuffers(decoder, layout, small, size));
    if (size > 0)
        framer.append(data, size);
    collect(result, decoder, framer.stats(), framer.pendingBytes());
    FUZZ_CHECK(result.pending <= ReferenceFramer::kMaxPacketBytes);
    return result;
}

// PacketFramer, fed in pieces of sizes drawn from chunker (or in one piece
// without one).
FeedResult feed(const std::vector<ChannelLayout>& layout, bool small, const uint8_t* data, size_t size,
                Chunker* chunker, size_t maxChunk)
{
    FeedResult result;
    BlockDecoder decoder;
    PacketFramer framer(addBuffers(decoder, layout, small, size), 64);
    for (size_t at = 0; at < size;) {
        const size_t n = chunker ? std::min(size - at, chunker->size(maxChunk)) : size - at;
        framer.append(data + at, n);
        FUZZ_CHECK(framer.pendingBytes() <= PacketFramer::kMaxPacketBytes);
        at += n;
    }
    collect(result, decoder, framer.stats(), framer.pendingBytes());
    return result;
}

void checkSame(const FeedResult& a, const FeedResult& b)
{
    FUZZ_CHECK(a.stats.packets == b.stats.packets);
    FUZZ_CHECK(a.stats.malformed == b.stats.malformed);
    FUZZ_CHECK(a.stats.oversized == b.stats.oversized);
    FUZZ_CHECK(a.stats.discardedBytes == b.stats.discardedBytes);
    FUZZ_CHECK(b.pending <= a.pending); // b is PacketFramer's, a the reference's
    FUZZ_CHECK(a.overflowed == b.overflowed);
    FUZZ_CHECK(std::memcmp(&a.startTime, &b.startTime, sizeof(double)) == 0);
    FUZZ_CHECK(a.channels.size() == b.channels.size());
    for (size_t c = 0; c < a.channels.size(); ++c) {
        FUZZ_CHECK(a.channels[c].written == b.channels[c].written);
        FUZZ_CHECK(a.channels[c].values.empty() || a.channels[c].firstIndex == b.channels[c].firstIndex);
        FUZZ_CHECK(sameBits(a.channels[c].values, b.channels[c].values));
        FUZZ_CHECK(sameBits(a.channels[c].times, b.channels[c].times));
    }
}

// PacketFramer may have decoded blocks of a packet that is still unfinished
// when the stream ends, where the reference has decoded none: the stream
// delivers the reference's values and then possibly more.
void checkPrefix(const FeedResult& a, const FeedResult& b)
{
    FUZZ_CHECK(a.stats.packets == b.stats.packets);
    FUZZ_CHECK(a.stats.discardedBytes == b.stats.discardedBytes);
    for (size_t c = 0; c < a.channels.size(); ++c) {
        const ChannelResult& x = a.channels[c];
        const ChannelResult& y = b.channels[c];
        FUZZ_CHECK(x.written <= y.written && x.values.size() <= y.values.size());
        FUZZ_CHECK(x.values.empty() || std::memcmp(x.values.data(), y.values.data(), x.values.size() * 8) == 0);
        FUZZ_CHECK(x.times.empty() || std::memcmp(x.times.data(), y.times.data(), x.times.size() * 8) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const std::vector<ChannelLayout> layout = readLayout(in);
    const uint32_t seed = in.u32();

    // The stream as given, then an end marker and a start marker: every
    // packet begun before them ends by that end marker, the last one empty.
    std::vector<uint8_t> bytes(in.rest(), in.rest() + in.restSize());
    Chunker open(seed);
    checkPrefix(reference(layout, false, bytes.data(), bytes.size()),
                feed(layout, false, bytes.data(), bytes.size(), &open, 512));
    bytes.insert(bytes.end(), kEndMarker, kEndMarker + 7);
    bytes.insert(bytes.end(), {0, 0, 1, 2, 3, 4, 5, 6, 7});
    const uint8_t* stream = bytes.data();
    const size_t streamSize = bytes.size();

    const FeedResult expected = reference(layout, false, stream, streamSize);
    FUZZ_CHECK(!expected.overflowed);
    checkSame(expected, feed(layout, false, stream, streamSize, nullptr, 0));
    Chunker random(seed);
    checkSame(expected, feed(layout, false, stream, streamSize, &random, 512));
    Chunker tiny(seed ^ 0x9e3779b9u);
    checkSame(expected, feed(layout, false, stream, streamSize, &tiny, 3));

    // Small rings: the newest samples of the same sequence, and an overflow
    // exactly when samples were dropped.
    const FeedResult smallExpected = reference(layout, true, stream, streamSize);
    Chunker again(seed);
    checkSame(smallExpected, feed(layout, true, stream, streamSize, &again, 64));
    bool dropped = false;
    for (size_t c = 0; c < layout.size(); ++c) {
        const ChannelResult& full = expected.channels[c];
        const ChannelResult& tail = smallExpected.channels[c];
        const size_t keep = std::min(full.values.size(), layout[c].smallCapacity);
        dropped = dropped || full.values.size() > keep;
        FUZZ_CHECK(tail.written == full.written);
        FUZZ_CHECK(sameBits(tail.values, std::vector<double>(full.values.end() - keep, full.values.end())));
        if (!full.times.empty())
            FUZZ_CHECK(sameBits(tail.times, std::vector<double>(full.times.end() - keep, full.times.end())));
    }
    FUZZ_CHECK(smallExpected.overflowed == dropped);
    return 0;
}
