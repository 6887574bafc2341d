// SPDX-License-Identifier: MIT
#include "PacketBuilder.h"
#include "ktremote.h"
#include "net/NETDataReceiver.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <thread>
#include <vector>

using namespace ktremote;
using namespace ktremote::test;

namespace {

constexpr double kStartDays = 45000.25;

// The packet time as a double, as it went into the packet: x87 builds would
// otherwise keep it in extended precision, and the difference from the start
// time magnifies what is lost.
double stored(double days)
{
    volatile double rounded = days;
    return rounded;
}

// A receiver without a listener, fed through a framer as one connection.
class Reads : public ::testing::Test {
protected:
    void feed(const PacketBuilder& p)
    {
        if (!framer)
            framer = receiver.makeFramer();
        const auto bytes = p.packet();
        framer->append(bytes.data(), bytes.size());
    }

    asio::io_context io;
    NETDataReceiver receiver{io};
    std::unique_ptr<PacketFramer> framer;
};

enum class Read { Data2, Data2Abs, Data };

struct Result {
    int code = 0;
    std::vector<double> values, times;
};

Result read(NETDataReceiver& receiver, Read how, const std::string& id, size_t count)
{
    Result r;
    if (how == Read::Data) {
        double* values = nullptr;
        double* times = nullptr;
        receiver.readScalarData(id, &values, &times, &count);
        if (values) {
            r.values.assign(values, values + count);
            r.times.assign(times, times + count);
        }
        std::free(values);
        std::free(times);
        return r;
    }
    r.values.resize(count);
    r.times.resize(count);
    r.code = how == Read::Data2 ? receiver.readScalarData2(id, r.values.data(), r.times.data(), &count)
                                : receiver.readScalarData2Abs(id, r.values.data(), r.times.data(), &count);
    r.values.resize(count);
    r.times.resize(count);
    return r;
}

// Times of all three reads for all three kinds. Each read takes two samples,
// then a second read of the same kind takes the next two, so that the
// computed times are seen to run on.
TEST_F(Reads, TimesOfEveryReadForEveryKind)
{
    receiver.addChannel(record("sync", 2, Kind::Sync), -1, 100.4); // rounds to 100 Hz
    receiver.addChannel(record("async", 7, Kind::Async), -1, 5.0);
    receiver.addChannel(record("single", 4, Kind::Single), -1, -1.0);
    for (int i = 0; i < 4; ++i) {
        PacketBuilder p(kStartDays + i); // only the first packet fixes the start time
        p.sync<int16_t>({static_cast<int16_t>(2 * i), static_cast<int16_t>(2 * i + 1)});
        p.async<double>({10.0 * i, 10.0 * i + 1}, {86400.0 * i, 86400.0 * i + 43200});
        p.single<int32_t>(1, i);
        feed(p);
        p = PacketBuilder(kStartDays + i + 0.5);
        p.sync<int16_t>({}).async<double>({}, {}).single<int32_t>(1, 100 + i);
        feed(p);
    }
    EXPECT_EQ(receiver.startTime(), kStartDays);

    for (Read how : {Read::Data2, Read::Data2Abs, Read::Data}) {
        SCOPED_TRACE(static_cast<int>(how));
        const bool abs = how == Read::Data2Abs;
        const double k0 = static_cast<double>(static_cast<int>(how) * 2); // samples taken before
        const Result sync = read(receiver, how, "sync", 2);
        ASSERT_EQ(sync.values, (std::vector<double>{k0, k0 + 1}));
        for (int j = 0; j < 2; ++j) {
            // k * (1 / r); within a few units of the last place, as x87
            // builds keep intermediate results in extended precision.
            const double seconds = (k0 + j) * (1.0 / 100);
            EXPECT_DOUBLE_EQ(sync.times[j], abs ? seconds / 86400 + kStartDays : seconds);
        }

        const Result async = read(receiver, how, "async", 2);
        ASSERT_EQ(async.values, (std::vector<double>{5 * k0, 5 * k0 + 1}));
        const double stamp = 86400.0 * (k0 / 2);
        const std::vector<double> stamps = {stamp, stamp + 43200};
        const std::vector<double> days = {stamp / 86400, (stamp + 43200) / 86400};
        EXPECT_EQ(async.times, abs ? days : stamps) << "received stamps, without the start time";

        const Result single = read(receiver, how, "single", 2);
        ASSERT_EQ(single.values, (std::vector<double>{k0 / 2, 100 + k0 / 2}));
        // A single value is timed by the packet that carried it.
        const double packetDays[] = {kStartDays + k0 / 2, kStartDays + k0 / 2 + 0.5};
        for (int j = 0; j < 2; ++j)
            EXPECT_DOUBLE_EQ(single.times[j], abs ? packetDays[j] : (packetDays[j] - kStartDays) * 86400);
    }
}

// Rates without a usable integer rate: every computed time is 0 (the start
// time for absolute reads), never inf or NaN.
TEST_F(Reads, RateRoundingToZeroOrInfiniteGivesTimeZero)
{
    const double rates[] = {-0.4, 0.0, std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(), 1e12};
    for (size_t i = 0; i < std::size(rates); ++i)
        receiver.addChannel(record("c" + std::to_string(i), 2, Kind::Sync), -1, rates[i]);
    PacketBuilder p(kStartDays);
    for (size_t i = 0; i < std::size(rates); ++i)
        p.sync<int16_t>({1, 2, 3, 4});
    feed(p);
    for (size_t i = 0; i < std::size(rates); ++i) {
        SCOPED_TRACE(rates[i]);
        const std::string id = "c" + std::to_string(i);
        EXPECT_EQ(read(receiver, Read::Data2, id, 2).times, (std::vector<double>{0, 0}));
        EXPECT_EQ(read(receiver, Read::Data2Abs, id, 2).times, (std::vector<double>{kStartDays, kStartDays}));
    }
}

// Below 0.5 Hz the rate would round to 0: such channels are timed by the
// rate itself. From 0.5 Hz on the rate is rounded.
TEST_F(Reads, RatesBelowHalfAHertzUseTheExactRate)
{
    const double rates[] = {0.2, 0.4, 0.49, 0.5, 2.6};
    for (size_t i = 0; i < std::size(rates); ++i)
        receiver.addChannel(record("c" + std::to_string(i), 2, Kind::Sync), -1, rates[i]);
    PacketBuilder p(kStartDays);
    for (size_t i = 0; i < std::size(rates); ++i)
        p.sync<int16_t>({0, 1, 2, 3, 4, 5});
    feed(p);
    for (size_t i = 0; i < std::size(rates); ++i) {
        SCOPED_TRACE(rates[i]);
        const std::string id = "c" + std::to_string(i);
        const double rounded = rates[i] < 0.5 ? 0 : std::round(rates[i]);
        auto seconds = [&](double k) { return rounded == 0 ? k / rates[i] : k * (1.0 / rounded); };
        const Result rel = read(receiver, Read::Data2, id, 2);
        const Result abs = read(receiver, Read::Data2Abs, id, 2);
        const Result alloc = read(receiver, Read::Data, id, 2);
        ASSERT_EQ(rel.times.size() + abs.times.size() + alloc.times.size(), 6u);
        for (int j = 0; j < 2; ++j) {
            EXPECT_DOUBLE_EQ(rel.times[j], seconds(j));
            EXPECT_DOUBLE_EQ(abs.times[j], seconds(2 + j) / 86400 + kStartDays);
            EXPECT_DOUBLE_EQ(alloc.times[j], seconds(4 + j));
        }
    }
    EXPECT_EQ(read(receiver, Read::Data2, "c0", 1).times, std::vector<double>{}) << "all read";
}

TEST_F(Reads, OverflowDropsTheOldestAndIsReportedFromThenOn)
{
    receiver.addChannel(record("small", 2, Kind::Sync), 10, 1.0);
    receiver.addChannel(record("default", 2, Kind::Sync), 0, 1.0);
    receiver.addChannel(record("async", 2, Kind::Async), 10, 1.0);
    std::vector<int16_t> ten, many, eleven;
    std::vector<double> times;
    for (int16_t i = 1; i <= 11; ++i) {
        eleven.push_back(i);
        times.push_back(i * 0.5);
    }
    ten.assign(eleven.begin(), eleven.end() - 1);
    for (int i = 1; i <= 3000; ++i)
        many.push_back(static_cast<int16_t>(i));
    PacketBuilder p;
    p.sync<int16_t>(ten).sync<int16_t>(many).async<int16_t>({}, {});
    feed(p);
    EXPECT_FALSE(receiver.overflowed()) << "full is not overflowing";
    EXPECT_EQ(read(receiver, Read::Data2, "nope", 1).code, 0);
    p = PacketBuilder();
    p.sync<int16_t>({11}).sync<int16_t>({3001}).async<int16_t>(eleven, times);
    feed(p);
    EXPECT_TRUE(receiver.overflowed());

    const Result small = read(receiver, Read::Data2, "small", 100);
    EXPECT_EQ(small.code, KX_ERR_DATA_OVERRUN);
    EXPECT_EQ(small.values, (std::vector<double>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(small.times, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}))
        << "at 1 Hz sample k of the stream is at k seconds, the dropped sample 0 counted";

    const Result full = read(receiver, Read::Data2Abs, "default", 5000);
    EXPECT_EQ(full.code, KX_ERR_DATA_OVERRUN);
    ASSERT_EQ(full.values.size(), 3000u);
    EXPECT_EQ(full.values.front(), 2);
    EXPECT_EQ(full.values.back(), 3001);

    const Result async = read(receiver, Read::Data2, "async", 100);
    ASSERT_EQ(async.values.size(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(async.times[i], async.values[i] * 0.5) << "value and timestamp dropped together";

    // Sticky: later reads, empty ones and reads of unknown ids included.
    EXPECT_EQ(read(receiver, Read::Data2, "small", 10).code, KX_ERR_DATA_OVERRUN);
    EXPECT_EQ(read(receiver, Read::Data2Abs, "nope", 10).code, KX_ERR_DATA_OVERRUN);
}

// Overruns in the middle of a measurement, one and then several in a row,
// with the three reads taking turns: every sample keeps the time of its place
// in the stream, so the times jump by the duration of what was dropped, and
// values of the other kinds keep their own times.
TEST_F(Reads, TimesSurviveOverrunsInEveryKindAndRead)
{
    constexpr double kStep = 1.0 / 10; // 10 Hz
    receiver.addChannel(record("sync", 7, Kind::Sync), 4, 10.0);
    receiver.addChannel(record("async", 7, Kind::Async), 4, 10.0);
    receiver.addChannel(record("single", 7, Kind::Single), 4, -1.0);
    double next = 0; // stream index of the next sync and async sample
    int packets = 0;
    auto send = [&](int samples) {
        std::vector<double> values;
        std::vector<double> stamps;
        for (int i = 0; i < samples; ++i, ++next) {
            values.push_back(next);
            stamps.push_back(next * 0.25);
        }
        PacketBuilder p(kStartDays + packets / 1000.0);
        p.sync<double>(values).async<double>(values, stamps).single<double>(1, packets++);
        feed(p);
    };
    auto check = [&](Read how, size_t count, const std::vector<double>& expected) {
        SCOPED_TRACE(static_cast<int>(how));
        const bool abs = how == Read::Data2Abs;
        const Result sync = read(receiver, how, "sync", count);
        ASSERT_EQ(sync.values, expected);
        for (size_t j = 0; j < expected.size(); ++j) {
            const double seconds = expected[j] * kStep;
            EXPECT_DOUBLE_EQ(sync.times[j], abs ? seconds / 86400 + kStartDays : seconds) << expected[j];
        }
        const Result async = read(receiver, how, "async", count);
        ASSERT_EQ(async.values, expected);
        for (size_t j = 0; j < expected.size(); ++j)
            EXPECT_DOUBLE_EQ(async.times[j], abs ? expected[j] * 0.25 / 86400 : expected[j] * 0.25);
    };
    auto checkSingle = [&](Read how, const std::vector<double>& expected) {
        const Result single = read(receiver, how, "single", 100);
        ASSERT_EQ(single.values, expected);
        for (size_t j = 0; j < expected.size(); ++j) {
            const double days = stored(kStartDays + expected[j] / 1000.0);
            EXPECT_DOUBLE_EQ(single.times[j], how == Read::Data2Abs ? days : (days - kStartDays) * 86400);
        }
    };

    send(3);
    check(Read::Data2, 3, {0, 1, 2});
    checkSingle(Read::Data2, {0});
    EXPECT_FALSE(receiver.overflowed());

    send(3);
    send(4); // 3, 4 and 5 are pushed out by 6 .. 9
    check(Read::Data2Abs, 2, {6, 7});
    check(Read::Data, 100, {8, 9});
    checkSingle(Read::Data2Abs, {1, 2});
    EXPECT_TRUE(receiver.overflowed());

    // Overruns in a row, with a partial read between them.
    send(6); // 10 .. 15, of which 12 .. 15 stay
    check(Read::Data, 1, {12});
    send(5); // 16 .. 20: 13, 14 and 15 go, and 16 as well
    send(1);
    send(1);
    send(1); // 21, 22, 23: the single values overflow as well
    checkSingle(Read::Data, {4, 5, 6, 7});
    check(Read::Data2, 100, {20, 21, 22, 23});
    send(9); // one packet larger than the ring: 24 .. 28 never reach the host
    check(Read::Data2Abs, 100, {29, 30, 31, 32});
    checkSingle(Read::Data2, {8});
}

// The decoder on one thread overruns small buffers while the host reads on
// another, through all three reads: every sample keeps the time of its place
// in the stream and every value its own time. Under TSan this also checks
// the read path for data races.
TEST_F(Reads, TimesMatchTheStreamWhileDecodingAndReadingRace)
{
    constexpr double kStep = 1.0 / 1000;
    receiver.addChannel(record("sync", 7, Kind::Sync), 64, 1000.0);
    receiver.addChannel(record("async", 7, Kind::Async), 64, 1000.0);
    receiver.addChannel(record("single", 7, Kind::Single), 8, -1.0);
    framer = receiver.makeFramer();
    constexpr int kPackets = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::mt19937 random(3);
        double next = 0;
        for (int packet = 0; packet < kPackets; ++packet) {
            std::vector<double> values(1 + random() % 100);
            std::vector<double> stamps(values.size());
            for (size_t i = 0; i < values.size(); ++i, ++next) {
                values[i] = next;
                stamps[i] = next * 0.5;
            }
            PacketBuilder p(kStartDays + packet / 1e6);
            p.sync<double>(values).async<double>(values, stamps).single<double>(1, packet);
            const auto bytes = p.packet();
            framer->append(bytes.data(), bytes.size());
        }
        done.store(true, std::memory_order_release);
    });

    std::mt19937 random(5);
    double lastSync = -1;
    size_t syncRead = 0;
    // Expectations, not assertions, so that the producer is always joined;
    // the first failing round ends the loop.
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        const Read how = static_cast<Read>(random() % 3);
        const bool abs = how == Read::Data2Abs;
        const size_t count = 1 + random() % 80;
        const Result sync = read(receiver, how, "sync", count);
        for (size_t j = 0; j < sync.values.size(); ++j) {
            const double seconds = sync.values[j] * kStep;
            EXPECT_DOUBLE_EQ(sync.times[j], abs ? seconds / 86400 + kStartDays : seconds) << sync.values[j];
            EXPECT_GT(sync.values[j], lastSync);
            lastSync = sync.values[j];
        }
        syncRead += sync.values.size();
        const Result async = read(receiver, how, "async", count);
        for (size_t j = 0; j < async.values.size(); ++j)
            EXPECT_DOUBLE_EQ(async.times[j], abs ? async.values[j] * 0.5 / 86400 : async.values[j] * 0.5);
        const Result single = read(receiver, how, "single", count);
        for (size_t j = 0; j < single.values.size(); ++j) {
            const double days = stored(kStartDays + single.values[j] / 1e6);
            EXPECT_DOUBLE_EQ(single.times[j], abs ? days : (days - kStartDays) * 86400) << single.values[j];
        }
        if (HasFailure() || (finished && sync.values.empty()))
            break;
    }
    producer.join();
    EXPECT_GT(syncRead, 0u);
    EXPECT_EQ(lastSync, static_cast<double>(receiver.decoder().buffer(0).ring().written() - 1))
        << "the newest sample is always delivered";
}

TEST_F(Reads, ReadOfAChannelWithoutABufferDeliversNothingAndSaysSo)
{
    // A host that loops while a read fills its arrays must see the end.
    receiver.addChannel(record("a", 2, Kind::Sync), -1, 1.0);
    feed(PacketBuilder().sync<int16_t>({1}));
    double values[2] = {-7, -7};
    double times[2] = {-7, -7};
    for (int abs = 0; abs < 2; ++abs) {
        size_t count = 2;
        const int code = abs ? receiver.readScalarData2Abs("b", values, times, &count)
                             : receiver.readScalarData2("b", values, times, &count);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(count, 0u);
    }
    double* valuePtr = values;
    double* timePtr = times;
    size_t count = 2;
    receiver.readScalarData("b", &valuePtr, &timePtr, &count);
    EXPECT_EQ(valuePtr, values) << "nothing allocated";
    EXPECT_EQ(timePtr, times);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(values[0], -7);
    EXPECT_EQ(times[1], -7);
}

TEST_F(Reads, ReadsBeforeAnyDataDeliverNothing)
{
    // No channel, no packet, no listener.
    EXPECT_EQ(read(receiver, Read::Data2, "a", 10).code, 0);
    receiver.addChannel(record("a", 2, Kind::Sync), -1, 1.0);
    for (Read how : {Read::Data2, Read::Data2Abs, Read::Data}) {
        const Result r = read(receiver, how, "a", 10);
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.values.empty());
    }
}

TEST_F(Reads, ReadScalarDataTakesAtMost3000AndAlwaysAllocates)
{
    receiver.addChannel(record("a", 2, Kind::Sync), 5000, 1.0);
    std::vector<int16_t> samples(4000, 1);
    feed(PacketBuilder().sync<int16_t>(samples));
    struct Case {
        size_t count, expected;
    } cases[] = {{0, 0}, {5000, 3000}, {5000, 1000}, {10, 0}};
    for (const Case& c : cases) {
        double* values = nullptr;
        double* times = nullptr;
        size_t count = c.count;
        receiver.readScalarData("a", &values, &times, &count);
        EXPECT_EQ(count, c.expected);
        ASSERT_NE(values, nullptr);
        ASSERT_NE(times, nullptr);
        values[2999] = times[2999] = 0; // both hold 3000 entries
        std::free(values);
        std::free(times);
    }
}

} // namespace
