// SPDX-License-Identifier: MIT
#include "PacketBuilder.h"
#include "net/BlockDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

struct Decoded {
    std::vector<double> values;
    std::vector<double> times;
};

Decoded drain(NETChannelBuffer& buffer)
{
    Decoded d;
    d.values.resize(10000);
    d.times.resize(10000);
    const size_t n = buffer.ring().read(d.values.data(), d.times.data(), d.values.size());
    d.values.resize(n);
    d.times.resize(buffer.kind == ChannelKind::Sync ? 0 : n);
    return d;
}

void add(BlockDecoder& decoder, const ChannelRecord& r, size_t capacity = 3000)
{
    decoder.addBuffer(std::make_unique<NETChannelBuffer>(r, capacity, 100.0));
}

// One sample of every encoding, through every kind of block.
struct EncodingCase {
    const char* what;
    int32_t dataType;
    std::vector<uint8_t> raw; // one sample as it is on the wire
    double scale1, offset1, scale2, offset2;
    double expected;
};

const EncodingCase kEncodings[] = {
    {"code 0 unsigned byte", 0, {0xFF}, 1, 0, 0, 0, 255},
    {"code 1 unsigned byte", 1, {0xFF}, 1, 0, 0, 0, 255},
    {"code 2 signed 16", 2, {0xFF, 0xFF}, 1, 0, 0, 0, -1},
    {"code 3 unsigned 16", 3, {0xFF, 0xFF}, 1, 0, 0, 0, 65535},
    {"code 4 signed 32", 4, {0xFF, 0xFF, 0xFF, 0xFF}, 1, 0, 0, 0, -1},
    {"code 4 most negative", 4, {0x00, 0x00, 0x00, 0x80}, 1, 0, 0, 0, -2147483648.0},
    {"code 5 float", 5, {0x00, 0x00, 0xC0, 0x3F}, 1, 0, 0, 0, 1.5},
    {"code 6 int64", 6, {0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1, 0, 0, 0, -5},
    {"code 7 double", 7, {0, 0, 0, 0, 0, 0, 0x04, 0xC0}, 1, 0, 0, 0, -2.5},
    // raw * scale1 + offset1, then * scale2 and + offset2 only when non-zero
    {"scale1 and offset1", 2, {3, 0}, 2, 1, 0, 0, 7},
    {"then scale2", 2, {3, 0}, 2, 1, 10, 0, 70},
    {"then offset2", 2, {3, 0}, 2, 1, 10, 0.5, 70.5},
    {"offset2 without scale2", 2, {3, 0}, 2, 1, 0, 0.5, 7.5},
    {"scaled unsigned byte", 0, {0xFF}, 0.5, -1, 0, 0, 126.5},
    {"scaled unsigned 16", 3, {0xFF, 0xFF}, 2, 0, 0, 0, 131070},
    {"scaled signed 32", 4, {0xFE, 0xFF, 0xFF, 0xFF}, 3, 0, 0, 0, -6},
    {"float ignores factors", 5, {0x00, 0x00, 0xC0, 0x3F}, 2, 1, 10, 5, 1.5},
    {"int64 ignores factors", 6, {0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 2, 1, 10, 5, -5},
    {"double ignores factors", 7, {0, 0, 0, 0, 0, 0, 0x04, 0xC0}, 2, 1, 10, 5, -2.5},
};

TEST(BlockDecoder, DecodesEveryEncodingInEveryKindOfBlock)
{
    for (const EncodingCase& c : kEncodings) {
        for (Kind kind : {Kind::Sync, Kind::Async, Kind::Single}) {
            SCOPED_TRACE(std::string(c.what) + " / " + kindName(kind));
            BlockDecoder decoder;
            add(decoder, record("a", c.dataType, kind, c.scale1, c.offset1, c.scale2, c.offset2));
            // Two samples in the series kinds, so that the stride is checked too.
            PacketBuilder p(1.0);
            if (kind == Kind::Single) {
                p.put<int32_t>(1).bytes(c.raw);
            } else {
                p.put<int32_t>(2).bytes(c.raw).bytes(c.raw);
                if (kind == Kind::Async)
                    p.put<double>(0.25).put<double>(0.5);
            }
            p.put<uint32_t>(0xDEADBEEF); // trailing bytes are ignored
            EXPECT_TRUE(decoder.decodePacket(p.body().data(), p.body().size()));
            const Decoded d = drain(decoder.buffer(0));
            const std::vector<double> expected(kind == Kind::Single ? 1 : 2, c.expected);
            EXPECT_EQ(d.values, expected);
            if (kind == Kind::Async) {
                EXPECT_EQ(d.times, (std::vector<double>{0.25, 0.5}));
            }
            if (kind == Kind::Single) {
                EXPECT_EQ(d.times, std::vector<double>{1.0}) << "the packet time goes with the value";
            }
        }
    }
}

TEST(BlockDecoder, EmptyAndSkippedBlocksAdvanceByTheirLength)
{
    BlockDecoder decoder;
    add(decoder, record("sync0", 2, Kind::Sync));
    add(decoder, record("async0", 7, Kind::Async));
    add(decoder, record("single0", 2, Kind::Single));
    add(decoder, record("type12", 12, Kind::Sync));
    add(decoder, record("type12async", 12, Kind::Async));
    add(decoder, record("last", 2, Kind::Sync));
    PacketBuilder p(3.0);
    p.sync<int16_t>({});
    p.async<double>({}, {});
    p.single<int16_t>(0, 99); // n = 0: the sample is there but not delivered
    p.sync<int32_t>({7, 8, 9});
    p.async<int32_t>({1}, {0.5});
    p.sync<int16_t>({-4, 5});
    EXPECT_TRUE(decoder.decodePacket(p.body().data(), p.body().size()));
    for (size_t i = 0; i < 5; ++i)
        EXPECT_TRUE(drain(decoder.buffer(i)).values.empty()) << decoder.buffer(i).id;
    EXPECT_EQ(drain(decoder.buffer(5)).values, (std::vector<double>{-4, 5}));
}

TEST(BlockDecoder, StartTimeComesFromTheFirstBlockHandedToTheDecoder)
{
    BlockDecoder decoder;
    add(decoder, record("skipped", 12, Kind::Sync));
    add(decoder, record("a", 2, Kind::Sync));
    EXPECT_EQ(decoder.startTime(), 0.0);

    PacketBuilder empty(10.0); // no block with samples: not handed to the decoder
    empty.sync<int32_t>({}).sync<int16_t>({});
    decoder.decodePacket(empty.body().data(), empty.body().size());
    EXPECT_EQ(decoder.startTime(), 0.0);

    PacketBuilder first(45000.5); // the first block with samples has a type that is not decoded
    first.sync<int32_t>({1}).sync<int16_t>({});
    decoder.decodePacket(first.body().data(), first.body().size());
    EXPECT_EQ(decoder.startTime(), 45000.5);

    PacketBuilder later(45001.0);
    later.sync<int32_t>({}).sync<int16_t>({2});
    decoder.decodePacket(later.body().data(), later.body().size());
    EXPECT_EQ(decoder.startTime(), 45000.5);
    EXPECT_FALSE(decoder.overflowed());
}

TEST(BlockDecoder, BlockLargerThanTheRingKeepsTheNewestAndSetsOverflow)
{
    BlockDecoder decoder;
    add(decoder, record("a", 2, Kind::Sync), 10);
    std::vector<int16_t> samples;
    for (int16_t i = 1; i <= 25; ++i)
        samples.push_back(i);
    PacketBuilder p;
    p.sync(samples);
    decoder.decodePacket(p.body().data(), p.body().size());
    EXPECT_TRUE(decoder.overflowed());
    EXPECT_EQ(drain(decoder.buffer(0)).values, (std::vector<double>{16, 17, 18, 19, 20, 21, 22, 23, 24, 25}));
}

// Large blocks into large rings are stored past the caches; they decode to
// the same values and times, across the wrap and over unread samples.
TEST(BlockDecoder, LargeBlocksIntoLargeRingsDecodeAlike)
{
    BlockDecoder decoder;
    const size_t capacity = SampleRing::kStreamedCapacity;
    add(decoder, record("sync", 2, Kind::Sync, 0.5, 1, 0, 0), capacity);
    add(decoder, record("async", 5, Kind::Async), capacity);
    constexpr size_t kBlock = 40000;
    ASSERT_GE(kBlock, SampleRing::kStreamedBatch);
    for (int packet = 0; packet < 2; ++packet) {
        std::vector<int16_t> raw;
        std::vector<float> samples;
        std::vector<double> times;
        for (size_t i = 0; i < kBlock; ++i) {
            const size_t k = packet * kBlock + i;
            raw.push_back(static_cast<int16_t>(k % 30000));
            samples.push_back(static_cast<float>(k));
            times.push_back(0.25 * static_cast<double>(k)); // exact, also in x87 registers
        }
        PacketBuilder p(1.0);
        p.sync(raw).async(samples, times);
        ASSERT_TRUE(decoder.decodePacket(p.body().data(), p.body().size()));
    }
    EXPECT_TRUE(decoder.overflowed()) << "the second packet overwrote unread samples";
    std::vector<double> values(capacity), times(capacity);
    for (size_t c = 0; c < 2; ++c) {
        SCOPED_TRACE(decoder.buffer(c).id);
        uint64_t first = 0;
        ASSERT_EQ(decoder.buffer(c).ring().read(values.data(), times.data(), capacity, &first), capacity);
        EXPECT_EQ(first, 2 * kBlock - capacity);
        for (size_t i = 0; i < capacity; ++i) {
            const size_t k = first + i;
            if (c == 0) {
                ASSERT_EQ(values[i], static_cast<double>(k % 30000) * 0.5 + 1) << i;
            } else {
                ASSERT_EQ(values[i], static_cast<double>(k)) << i;
                ASSERT_EQ(times[i], 0.25 * static_cast<double>(k)) << i;
            }
        }
    }
}

// Malformed bodies: what decoded before the fault stays, the rest is
// skipped, and nothing is read past the body (ASan checks that: each body is
// copied into an allocation of exactly its size).
struct MalformedCase {
    const char* what;
    std::vector<uint8_t> body;
    std::vector<double> a, b; // expected values of channel a (sync int16) and b (async int16)
    bool wellFormed;
};

std::vector<uint8_t> header() { return PacketBuilder(1.0).body(); }

std::vector<uint8_t> prefix(std::vector<uint8_t> bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

std::vector<uint8_t> goodA() { return PacketBuilder(1.0).sync<int16_t>({1, 2}).body(); }

std::vector<MalformedCase> malformedCases()
{
    auto withA = [](auto&& build) {
        PacketBuilder p(1.0);
        p.sync<int16_t>({1, 2});
        build(p);
        return p.body();
    };
    const int32_t kMax = std::numeric_limits<int32_t>::max();
    return {
        {"empty body", {}, {}, {}, false},
        {"body shorter than the header", prefix(header(), 27), {}, {}, false},
        {"header only", header(), {}, {}, false},
        {"count cut short", concat({header(), {2, 0}}), {}, {}, false},
        {"sync block past the body",
         PacketBuilder(1.0).put<int32_t>(3).put<int16_t>(1).put<int16_t>(2).body(),
         {},
         {},
         false},
        {"negative count", PacketBuilder(1.0).put<int32_t>(-1).put<int16_t>(1).body(), {}, {}, false},
        {"huge count", PacketBuilder(1.0).put<int32_t>(kMax).put<int16_t>(1).body(), {}, {}, false},
        {"second block missing", goodA(), {1, 2}, {}, false},
        {"async timestamps cut short",
         withA([](PacketBuilder& p) { p.put<int32_t>(2).put<int16_t>(5).put<int16_t>(6).put<double>(0.5); }),
         {1, 2},
         {},
         false},
        {"async negative count", withA([](PacketBuilder& p) { p.put<int32_t>(-3); }), {1, 2}, {}, false},
        {"async huge count", withA([](PacketBuilder& p) { p.put<int32_t>(kMax).put<double>(0); }), {1, 2}, {}, false},
        {"well formed", withA([](PacketBuilder& p) { p.async<int16_t>({5}, {0.5}); }), {1, 2}, {5}, true},
    };
}

TEST(BlockDecoder, MalformedBodiesKeepWhatDecodedBeforeTheFault)
{
    for (const MalformedCase& c : malformedCases()) {
        SCOPED_TRACE(c.what);
        BlockDecoder decoder;
        add(decoder, record("a", 2, Kind::Sync));
        add(decoder, record("b", 2, Kind::Async));
        std::unique_ptr<uint8_t[]> exact(new uint8_t[c.body.size() + 1]); // +1: no zero-size allocation
        std::copy(c.body.begin(), c.body.end(), exact.get());
        EXPECT_EQ(decoder.decodePacket(exact.get(), c.body.size()), c.wellFormed);
        EXPECT_EQ(drain(decoder.buffer(0)).values, c.a);
        EXPECT_EQ(drain(decoder.buffer(1)).values, c.b);
    }
}

TEST(BlockDecoder, FindsTheFirstBufferOfAnIdAmongMany)
{
    BlockDecoder decoder;
    for (int i = 0; i < 1000; ++i)
        add(decoder, record("0,1," + std::to_string(i), 5, Kind::Sync));
    add(decoder, record("0,1,7", 7, Kind::Sync)); // a second channel with an id taken
    ASSERT_EQ(decoder.bufferCount(), 1001u);
    EXPECT_EQ(decoder.findBuffer("0,1,0"), &decoder.buffer(0));
    EXPECT_EQ(decoder.findBuffer("0,1,999"), &decoder.buffer(999));
    EXPECT_EQ(decoder.findBuffer("0,1,7"), &decoder.buffer(7));
    EXPECT_EQ(decoder.findBuffer("0,1,1000"), nullptr);
    EXPECT_EQ(decoder.findBuffer(""), nullptr);
}

TEST(BlockDecoder, SingleValueBlocks)
{
    struct Case {
        int32_t n;
        std::vector<double> expected;
        bool wellFormed;
    } cases[] = {{0, {}, true}, {1, {42}, true}, {2, {}, false}, {-1, {}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        BlockDecoder decoder;
        add(decoder, record("s", 4, Kind::Single));
        add(decoder, record("after", 2, Kind::Sync));
        PacketBuilder p;
        p.single<int32_t>(c.n, 42).sync<int16_t>({9});
        EXPECT_EQ(decoder.decodePacket(p.body().data(), p.body().size()), c.wellFormed);
        EXPECT_EQ(drain(decoder.buffer(0)).values, c.expected);
        EXPECT_EQ(drain(decoder.buffer(1)).values.size(), c.wellFormed ? 1u : 0u);
    }
}

} // namespace
