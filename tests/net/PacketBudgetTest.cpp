// SPDX-License-Identifier: MIT
// Framers of one receiver sharing a budget for unfinished packets: a
// connection that would take more than is left loses its unfinished packet,
// while the packets of a working stream, which stay within each framer's
// own allowance, go on being decoded.

#include "PacketBuilder.h"
#include "net/BlockDecoder.h"
#include "net/PacketBudget.h"
#include "net/PacketFramer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

constexpr size_t KiB = 1024;

// A start marker and then `size` bytes without any end marker.
std::vector<uint8_t> unfinished(size_t size)
{
    std::vector<uint8_t> bytes = kStart;
    bytes.resize(kStart.size() + size, 0x55);
    return bytes;
}

class Budget : public ::testing::Test {
protected:
    Budget() { decoder.addBuffer(std::make_unique<NETChannelBuffer>(record("a", 2, Kind::Sync), 100000, 100.0)); }

    size_t taken()
    {
        std::vector<double> values(100000);
        return decoder.buffer(0).ring().read(values.data(), nullptr, values.size());
    }

    static void feed(PacketFramer& framer, const std::vector<uint8_t>& bytes)
    {
        framer.append(bytes.data(), bytes.size());
    }

    BlockDecoder decoder;
    PacketBudget budget{1024 * KiB};
};

TEST_F(Budget, TheConnectionThatWouldExceedItLosesItsUnfinishedPacket)
{
    constexpr size_t allowance = PacketFramer::kUnbudgetedBytes;
    PacketFramer first(decoder, PacketFramer::kInitialCapacity, &budget);
    PacketFramer second(decoder, PacketFramer::kInitialCapacity, &budget);
    PacketFramer stream(decoder, PacketFramer::kInitialCapacity, &budget);

    feed(first, unfinished(allowance + 700 * KiB));
    EXPECT_EQ(first.stats().oversized, 0u);
    EXPECT_EQ(budget.held(), 700 * KiB + kStart.size());

    // Within its allowance the second costs nothing; beyond it, it would
    // take more than the 324 KiB left.
    feed(second, unfinished(allowance));
    EXPECT_EQ(second.stats().oversized, 0u);
    feed(second, std::vector<uint8_t>(400 * KiB, 0x55));
    EXPECT_EQ(second.stats().oversized, 1u);
    EXPECT_EQ(second.pendingBytes(), 0u);
    EXPECT_EQ(first.pendingBytes(), allowance + 700 * KiB + kStart.size()) << "the first keeps its packet";
    EXPECT_EQ(budget.held(), 700 * KiB + kStart.size());

    // A working stream's packets go through while the budget is spent.
    for (int k = 0; k < 10; ++k)
        feed(stream, PacketBuilder(1.0).sync(std::vector<int16_t>(1000, 7)).packet());
    EXPECT_EQ(stream.stats().oversized, 0u);
    EXPECT_EQ(taken(), 10000u);

    // The dropped connection's next bytes are outside any packet.
    feed(second, std::vector<uint8_t>(100 * KiB, 0x55));
    EXPECT_LT(second.pendingBytes(), 8u);
}

TEST_F(Budget, AFinishedOrDroppedPacketAndAClosedConnectionGiveTheirShareBack)
{
    {
        PacketFramer framer(decoder, PacketFramer::kInitialCapacity, &budget);
        feed(framer, unfinished(PacketFramer::kUnbudgetedBytes + 100 * KiB));
        EXPECT_GT(budget.held(), 0u);
    }
    EXPECT_EQ(budget.held(), 0u) << "a framer that goes releases its share";

    PacketFramer framer(decoder, PacketFramer::kInitialCapacity, &budget);
    // A packet of 400 000 int16 samples (800 KB) fits, and once it ends its
    // share is free again.
    const std::vector<uint8_t> big = PacketBuilder(1.0).sync(std::vector<int16_t>(400000, 3)).packet();
    feed(framer, std::vector<uint8_t>(big.begin(), big.end() - 8));
    EXPECT_GT(budget.held(), 0u);
    feed(framer, std::vector<uint8_t>(big.end() - 8, big.end()));
    EXPECT_EQ(budget.held(), 0u);
    EXPECT_EQ(taken(), 100000u) << "the ring keeps its newest 100 000";

    // One that outgrows everything the budget has is dropped, and frees it.
    feed(framer, unfinished(PacketFramer::kUnbudgetedBytes + 2048 * KiB));
    EXPECT_EQ(framer.stats().oversized, 1u);
    EXPECT_EQ(budget.held(), 0u);
}

} // namespace
