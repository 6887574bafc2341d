// SPDX-License-Identifier: MIT
#include "PacketBuilder.h"
#include "net/BlockDecoder.h"
#include "net/PacketFramer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

// A decoder with one synchronous int16 channel, and helpers to feed it.
class Framer : public ::testing::Test {
protected:
    Framer() { decoder.addBuffer(std::make_unique<NETChannelBuffer>(record("a", 2, Kind::Sync), 100000, 100.0)); }

    std::vector<double> taken()
    {
        std::vector<double> values(100000);
        values.resize(decoder.buffer(0).ring().read(values.data(), nullptr, values.size()));
        return values;
    }

    static std::vector<uint8_t> packet(std::vector<int16_t> samples)
    {
        return PacketBuilder(1.0).sync(samples).packet();
    }

    void feed(PacketFramer& framer, const std::vector<uint8_t>& bytes) { framer.append(bytes.data(), bytes.size()); }

    BlockDecoder decoder;
};

TEST_F(Framer, PacketSplitOverManyReadsIsDecodedOnceItsLastByteArrives)
{
    const auto bytes = packet({1, 2, 3});
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, size_t{16}}) {
        SCOPED_TRACE(chunk);
        PacketFramer framer(decoder, 64); // small, so that the buffer moves and grows
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            EXPECT_TRUE(taken().empty()) << "decoded before its end marker was complete";
            feed(framer,
                 std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                      bytes.begin() + static_cast<long>(std::min(at + chunk, bytes.size()))));
        }
        EXPECT_EQ(taken(), (std::vector<double>{1, 2, 3}));
        EXPECT_EQ(framer.pendingBytes(), 0u);
    }
}

TEST_F(Framer, ReadEndingAfterSevenEndMarkerBytesWaitsForTheEighth)
{
    PacketFramer framer(decoder);
    const auto bytes = packet({5});
    feed(framer, std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));
    EXPECT_TRUE(taken().empty());
    feed(framer, {bytes.back()});
    EXPECT_EQ(taken(), (std::vector<double>{5}));
}

TEST_F(Framer, GarbageBeforeAStartMarkerIsDiscardedAtOnce)
{
    PacketFramer framer(decoder);
    // Garbage including pieces of both markers.
    const std::vector<uint8_t> garbage = {9, 9, 0, 1, 2, 3, 7, 6, 5, 4, 3, 2, 1, 0, 0, 1, 2, 3, 4, 5, 6};
    feed(framer, garbage);
    EXPECT_LE(framer.pendingBytes(), 7u) << "only a possible start-marker prefix is kept";
    feed(framer, concat({packet({1}), garbage, packet({2})}));
    EXPECT_EQ(taken(), (std::vector<double>{1, 2}));
    EXPECT_LE(framer.pendingBytes(), 7u);
}

TEST_F(Framer, EveryPacketInOneReadIsDecoded)
{
    PacketFramer framer(decoder);
    feed(framer, concat({packet({1}), packet({2, 3}), packet({}), packet({4})}));
    EXPECT_EQ(taken(), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(framer.stats().packets, 4u);
}

TEST_F(Framer, ConnectionsFrameTheirOwnBytes)
{
    PacketFramer first(decoder);
    PacketFramer second(decoder);
    const auto a = packet({1, 2});
    const auto b = packet({3, 4});
    feed(first, std::vector<uint8_t>(a.begin(), a.begin() + 20));
    feed(second, std::vector<uint8_t>(b.begin(), b.begin() + 30));
    feed(first, std::vector<uint8_t>(a.begin() + 20, a.end()));
    EXPECT_EQ(taken(), (std::vector<double>{1, 2}));
    feed(second, std::vector<uint8_t>(b.begin() + 30, b.end()));
    EXPECT_EQ(taken(), (std::vector<double>{3, 4}));
}

// The int16 ramp 1543, 1029, 515, 1 is the byte sequence of a whole end
// marker; the block walk shows that it is sample data.
TEST_F(Framer, EndMarkerBytesInsideSamplesDoNotEndThePacket)
{
    const auto ramp = packet({1543, 1029, 515, 1});
    const auto next = packet({7});
    for (size_t chunk : {size_t{1}, size_t{5}, ramp.size() + next.size()}) {
        SCOPED_TRACE(chunk);
        PacketFramer framer(decoder);
        const auto bytes = concat({ramp, next});
        for (size_t at = 0; at < bytes.size(); at += chunk)
            feed(framer,
                 std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                      bytes.begin() + static_cast<long>(std::min(at + chunk, bytes.size()))));
        EXPECT_EQ(taken(), (std::vector<double>{1543, 1029, 515, 1, 7}));
        EXPECT_EQ(framer.stats().malformed, 0u);
    }
}

TEST_F(Framer, TrailingBytesAfterTheBlocksBelongToThePacket)
{
    PacketFramer framer(decoder);
    PacketBuilder p(1.0);
    p.sync<int16_t>({1}).bytes({7, 6, 5, 4, 3, 2, 1}); // extra bytes that look like a marker
    feed(framer, concat({p.packet(), packet({2})}));
    EXPECT_EQ(taken(), (std::vector<double>{1, 2}));
}

// Malformed packets end at their end marker; the next packet decodes.
TEST_F(Framer, MalformedPacketsAreSkippedAndTheStreamGoesOn)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> body;
        std::vector<double> kept;
    } cases[] = {
        {"empty body", {}, {}},
        {"body shorter than the header", std::vector<uint8_t>(10, 0x11), {}},
        {"block missing", PacketBuilder(1.0).body(), {}},
        {"count past the end marker", PacketBuilder(1.0).put<int32_t>(3).put<int16_t>(1).body(), {}},
        {"negative count", PacketBuilder(1.0).put<int32_t>(-2).put<int16_t>(1).body(), {}},
        {"huge count", PacketBuilder(1.0).put<int32_t>(0x7FFFFFFF).body(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PacketFramer framer(decoder);
        const auto bad = concat({kStart, c.body, kEnd});
        feed(framer, concat({packet({1}), bad, packet({2})}));
        auto expected = std::vector<double>{1};
        expected.insert(expected.end(), c.kept.begin(), c.kept.end());
        expected.push_back(2);
        EXPECT_EQ(taken(), expected);
        EXPECT_EQ(framer.stats().packets, 3u);
        EXPECT_EQ(framer.stats().malformed, 1u);
    }
}

TEST(FramerLimits, PacketWithoutEndMarkerIsDroppedAtTheCap)
{
    BlockDecoder decoder; // no channels: every packet is a header only
    decoder.addBuffer(std::make_unique<NETChannelBuffer>(record("a", 2, Kind::Sync), 10, 1.0));
    PacketFramer framer(decoder);
    // A header and a block whose count claims 30 MiB of samples, then 65 MiB
    // of zeros without an end marker.
    const auto start = PacketBuilder(1.0).put<int32_t>(15 << 20).packet();
    framer.append(start.data(), start.size() - kEnd.size());
    const std::vector<uint8_t> zeros(1 << 20, 0);
    for (int i = 0; i < 65; ++i) {
        framer.append(zeros.data(), zeros.size());
        ASSERT_LE(framer.pendingBytes(), PacketFramer::kMaxPacketBytes + zeros.size());
    }
    EXPECT_EQ(framer.stats().oversized, 1u);
    const auto good = PacketBuilder(1.0).sync<int16_t>({3}).packet();
    framer.append(good.data(), good.size());
    double value = 0;
    ASSERT_EQ(decoder.buffer(0).ring().read(&value, nullptr, 1), 1u);
    EXPECT_EQ(value, 3);
}

} // namespace
