// SPDX-License-Identifier: MIT
#include "net/SampleRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

using ktremote::SampleRing;

namespace {

using Stores = SampleRing::Stores;

// Writes values first .. first + count - 1 with times = 2 * value.
bool writeSequence(SampleRing& ring, double first, size_t count, Stores stores = Stores::Cached)
{
    return ring.write(
        count,
        [&](SampleRing::Slot* v, SampleRing::Slot* t, size_t from, size_t n) {
            for (size_t i = 0; i < n; ++i) {
                const double value = first + static_cast<double>(from + i);
                const auto put = stores == Stores::Streamed ? SampleRing::putStreamed : SampleRing::put;
                put(v[i], value);
                if (t)
                    put(t[i], 2 * value);
            }
        },
        stores);
}

std::vector<double> readAll(SampleRing& ring, size_t max, std::vector<double>* times = nullptr)
{
    std::vector<double> values(max);
    std::vector<double> t(max);
    values.resize(ring.read(values.data(), t.data(), max));
    if (times)
        *times = std::vector<double>(t.begin(), t.begin() + static_cast<long>(values.size()));
    return values;
}

std::vector<double> range(double first, double last)
{
    std::vector<double> out;
    for (double v = first; v <= last; ++v)
        out.push_back(v);
    return out;
}

TEST(SampleRing, KeepsOrderAcrossTheWrapInBatchesAndPartialReads)
{
    SampleRing ring(10, false);
    EXPECT_FALSE(writeSequence(ring, 1, 7));
    EXPECT_EQ(readAll(ring, 5), range(1, 5));
    EXPECT_FALSE(writeSequence(ring, 8, 8)); // 2 left + 8 = full, wraps
    EXPECT_EQ(ring.readable(), 10u);
    EXPECT_EQ(readAll(ring, 100), range(6, 15));
    EXPECT_TRUE(readAll(ring, 100).empty());
    EXPECT_TRUE(readAll(ring, 0).empty());
}

TEST(SampleRing, FullRingDropsTheOldestAndReportsIt)
{
    struct Case {
        size_t capacity, written, expectFirst;
    } cases[] = {
        {10, 11, 2},     // the eleventh unread sample pushes the first out
        {3000, 3001, 2}, // default size
        {10, 25, 16},    // one batch larger than the ring keeps its newest items
        {1, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        SampleRing ring(c.capacity, true);
        EXPECT_FALSE(writeSequence(ring, 1, c.capacity));
        EXPECT_TRUE(writeSequence(ring, 1 + static_cast<double>(c.capacity), c.written - c.capacity));
        std::vector<double> times;
        const auto values = readAll(ring, c.written, &times);
        EXPECT_EQ(values, range(static_cast<double>(c.expectFirst), static_cast<double>(c.written)));
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(times[i], 2 * values[i]);
    }
    SampleRing big(10, false);
    EXPECT_TRUE(writeSequence(big, 1, 25));
    EXPECT_EQ(readAll(big, 100), range(16, 25));
}

// The stream index of the first item read counts every item written before
// it, the dropped ones included; an empty read leaves it alone.
TEST(SampleRing, ReadsTellTheStreamIndexOfTheirFirstItem)
{
    SampleRing ring(10, false);
    std::vector<double> values(100);
    uint64_t first = 99;
    EXPECT_EQ(ring.read(values.data(), nullptr, 100, &first), 0u);
    EXPECT_EQ(first, 99u);
    writeSequence(ring, 0, 7);
    EXPECT_EQ(ring.read(values.data(), nullptr, 5, &first), 5u);
    EXPECT_EQ(first, 0u);
    writeSequence(ring, 7, 3);
    EXPECT_EQ(ring.read(values.data(), nullptr, 100, &first), 5u);
    EXPECT_EQ(first, 5u);
    EXPECT_TRUE(writeSequence(ring, 10, 14)); // 10 .. 23, of which 14 .. 23 stay
    EXPECT_EQ(ring.read(values.data(), nullptr, 3, &first), 3u);
    EXPECT_EQ(first, 14u);
    EXPECT_EQ(values[0], 14);
    EXPECT_TRUE(writeSequence(ring, 24, 30)); // 24 .. 53: 44 .. 53 stay
    EXPECT_EQ(ring.read(values.data(), nullptr, 100, &first), 10u);
    EXPECT_EQ(first, 44u);
    EXPECT_EQ(values[9], 53);
    EXPECT_EQ(ring.written(), 54u);
}

// A streamed run pairs slots where it can: whatever slot a run
// starts at and however long it is, each value lands in its own slot and the
// slots around the run keep theirs.
TEST(SampleRing, StreamedRunsFillExactlyTheirSlots)
{
    std::vector<double> values(40);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = 1.5 + static_cast<double>(i);
    for (size_t start = 0; start < 4; ++start) {
        for (size_t n = 0; n <= 11; ++n) {
            SCOPED_TRACE(testing::Message() << "start " << start << ", " << n << " values");
            SampleRing ring(32, false);
            ASSERT_FALSE(ring.write(
                32,
                [&](SampleRing::Slot* slots, SampleRing::Slot*, size_t, size_t count) {
                    for (size_t i = 0; i < count; ++i)
                        SampleRing::put(slots[i], -1.0);
                    SampleRing::putStreamedRun(slots + start, values.data(), n);
                },
                Stores::Streamed));
            const std::vector<double> got = readAll(ring, 32);
            ASSERT_EQ(got.size(), 32u);
            for (size_t i = 0; i < got.size(); ++i) {
                const bool inRun = i >= start && i < start + n;
                EXPECT_EQ(got[i], inRun ? values[i - start] : -1.0) << "slot " << i;
            }
        }
    }
}

// Large batches into a large ring go past the caches; small ones, or any
// batch into a small ring, stay in them.
TEST(SampleRing, OnlyLargeBatchesIntoLargeRingsAreStreamed)
{
    const Stores streamed = KTREMOTE_RING_STREAMS ? Stores::Streamed : Stores::Cached;
    SampleRing large(SampleRing::kStreamedCapacity, true);
    EXPECT_EQ(large.storesFor(SampleRing::kStreamedBatch), streamed);
    EXPECT_EQ(large.storesFor(SampleRing::kStreamedBatch - 1), Stores::Cached);
    SampleRing small(SampleRing::kStreamedCapacity - 1, true);
    EXPECT_EQ(small.storesFor(SampleRing::kStreamedBatch), Stores::Cached);

    // Streamed batches across the wrap and over unread items: every item
    // with its time, the oldest dropped and reported, as with cached stores.
    constexpr size_t kBatch = 40000;
    EXPECT_FALSE(writeSequence(large, 1, kBatch, streamed));
    EXPECT_TRUE(writeSequence(large, 1 + kBatch, kBatch, streamed));
    std::vector<double> times;
    const std::vector<double> values = readAll(large, 2 * kBatch, &times);
    EXPECT_EQ(values, range(2 * kBatch - SampleRing::kStreamedCapacity + 1, 2 * kBatch));
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(times[i], 2 * values[i]);
}

TEST(SampleRing, FreedRoomIsReusedWithoutReportingADrop)
{
    SampleRing ring(4, false);
    for (int round = 0; round < 10; ++round) {
        EXPECT_FALSE(writeSequence(ring, round * 4, 4));
        EXPECT_EQ(readAll(ring, 4).size(), 4u);
    }
}

// One producer, one consumer, heavy overflow. The consumer must never see a
// duplicated, reordered or stale value, always a value with its own time, the
// items of one read consecutive and at the stream index the read reports, and
// a gap only when the producer reported a drop. Run under TSan this also
// checks that the ring has no data race.
// Both ways of storing keep these rules; streamed stores are not ordered
// with other stores by the CPU, which only the ring's fences make up for.
TEST(SampleRing, ConcurrentProducerAndConsumerWithOverflow)
{
    for (const auto& [capacity, stores] :
         {std::pair{size_t{16}, Stores::Cached}, std::pair{size_t{3000}, Stores::Cached},
          std::pair{size_t{16}, Stores::Streamed}, std::pair{size_t{3000}, Stores::Streamed}}) {
        SCOPED_TRACE(std::to_string(capacity) + (stores == Stores::Streamed ? " streamed" : " cached"));
        SampleRing ring(capacity, true);
        constexpr uint64_t kItems = 400000;
        std::atomic<bool> producerDone{false};
        std::atomic<bool> producerDropped{false};

        std::thread producer([&] {
            std::mt19937 random(7);
            uint64_t next = 1;
            while (next <= kItems) {
                const size_t batch = std::min<uint64_t>(1 + random() % 1000, kItems - next + 1);
                if (writeSequence(ring, static_cast<double>(next), batch, stores))
                    producerDropped.store(true, std::memory_order_relaxed);
                next += batch;
            }
            producerDone.store(true, std::memory_order_release);
        });

        std::vector<double> values(1000);
        std::vector<double> times(1000);
        double last = 0;
        uint64_t taken = 0;
        bool gap = false;
        std::mt19937 random(11);
        // The first fault ends the reading; it is reported once the producer
        // is joined, so that a failure fails this test instead of ending the
        // process with a joinable thread.
        std::string fault;
        while (fault.empty()) {
            const bool done = producerDone.load(std::memory_order_acquire);
            uint64_t first = 0;
            const size_t n = ring.read(values.data(), times.data(), 1 + random() % 1000, &first);
            for (size_t i = 0; i < n && fault.empty(); ++i) {
                // Value v is item v - 1 of the stream.
                if (values[i] != static_cast<double>(first + i + 1))
                    fault = "not at its place in the stream";
                else if (values[i] <= last)
                    fault = "duplicate or out of order";
                else if (times[i] != 2 * values[i])
                    fault = "value without its own time";
                if (!fault.empty())
                    fault += ": value " + std::to_string(values[i]) + " after " + std::to_string(last);
                gap = gap || values[i] != last + 1;
                last = values[i];
            }
            taken += n;
            if (done && n == 0)
                break;
        }
        producer.join();
        ASSERT_EQ(fault, "");
        EXPECT_EQ(last, static_cast<double>(kItems)) << "the newest item is always delivered";
        if (gap) {
            EXPECT_TRUE(producerDropped.load()) << "items lost without the drop being reported";
        }
        EXPECT_LE(taken, kItems);
    }
}

} // namespace
