// SPDX-License-Identifier: MIT
// Sample values, their encoding and the packets, checked through the
// independent host-side decoder.
#include "ChannelList.h"
#include "Faults.h"
#include "HostSide.h"
#include "PacketEncoder.h"
#include "PacketSource.h"
#include "SetupParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

namespace {

std::vector<int> allNumbers(const ktsim::Setup& setup)
{
    std::vector<int> numbers;
    for (const ktsim::Channel& ch : setup.channels)
        numbers.push_back(ch.number);
    return numbers;
}

// Streams `seconds` of every channel of a setup in packets of `step` seconds
// and decodes them like a host.
struct RoundTrip {
    RoundTrip(const std::string& setupName, std::uint64_t seed)
        : model(std::make_shared<ktsim::SampleModel>(ktsim::loadSetup(setupName), seed)),
          source(model, allNumbers(model->setup())), decoder(hostside::parseList(ktsim::listReply(model->setup())))
    {
    }

    void run(double seconds, double step, std::size_t maxBody = 1 << 20)
    {
        std::vector<std::uint8_t> bytes;
        auto steps = static_cast<int>(std::lround(seconds / step));
        for (int k = 1; k <= steps; ++k)
            while (source.append(bytes, k * step, 45000.25, controls, maxBody)) {
                decoder.feed(bytes);
                bytes.clear();
            }
    }

    std::shared_ptr<ktsim::SampleModel> model;
    ktsim::ControlValues controls;
    ktsim::PacketSource source;
    hostside::Decoder decoder;
};

TEST(SampleStreamTest, HostDecodesExactlyThePredictedValues)
{
    RoundTrip trip("builtin:default", 99);
    trip.run(2.0, 0.005);
    EXPECT_EQ(trip.decoder.rejected, 0);
    EXPECT_EQ(trip.decoder.pendingBytes(), 0u);
    EXPECT_EQ(trip.decoder.startDays, 45000.25);
    const ktsim::SampleModel& model = *trip.model;
    for (std::size_t b = 0; b < model.setup().channels.size(); ++b) {
        const ktsim::Channel& ch = model.setup().channels[b];
        SCOPED_TRACE(ch.name);
        const hostside::Series& got = trip.decoder.series(b);
        std::uint64_t expected = ktsim::samplesDue(model, ch, 2.0);
        if (!ktsim::hostDecodes(ch.dataType)) {
            EXPECT_TRUE(got.values.empty());
            continue;
        }
        ASSERT_EQ(got.values.size(), expected);
        for (std::uint64_t i = 0; i < expected; ++i) {
            ASSERT_EQ(got.values[i], model.decoded(ch, i)) << "sample " << i;
            if (ch.kind == ktsim::ChannelKind::Async) {
                ASSERT_EQ(got.times[i], model.timestamp(ch, i));
            }
        }
    }
    // Rates of the default setup over 2 s.
    EXPECT_EQ(trip.decoder.series(0).values.size(), 2000u);
    EXPECT_EQ(trip.decoder.series(2).values.size(), 500u);
}

TEST(SampleStreamTest, FindsTheEndMarkerAnywhereInABody)
{
    const std::vector<std::uint8_t> marker = {7, 6, 5, 4, 3, 2, 1};
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool found;
    };
    auto with = [&](std::vector<std::uint8_t> before, std::vector<std::uint8_t> after) {
        before.insert(before.end(), marker.begin(), marker.end());
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    const Case cases[] = {
        {{}, false},
        {marker, true},
        {with({7, 7, 6}, {}), true}, // candidates that fail just before
        {with({1, 2, 3}, {9, 9}), true},
        {{7, 6, 5, 4, 3, 2}, false}, // cut short at the end
        {{7, 6, 5, 4, 3, 2, 0, 7, 6, 5}, false},
        {{0, 7, 6, 5, 4, 3, 2, 2, 1}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ktsim::containsEndMarker(c.bytes.data(), c.bytes.size()), c.found)
            << ::testing::PrintToString(c.bytes);
}

TEST(SampleStreamTest, StampReplacesOnlyFloat64SamplesAndOnlyWhileSet)
{
    RoundTrip trip("builtin:clean", 5);
    const ktsim::SampleModel& model = *trip.model;
    trip.source.setStamp(1234.5);
    trip.run(1.0, 0.01);
    trip.source.setStamp(std::nullopt);
    std::vector<std::uint8_t> bytes;
    for (int k = 101; k <= 200; ++k)
        while (trip.source.append(bytes, k * 0.01, 45000.25, trip.controls)) {
            trip.decoder.feed(bytes);
            bytes.clear();
        }
    ASSERT_EQ(trip.decoder.rejected, 0);
    int stamped = 0;
    for (std::size_t b = 0; b < model.setup().channels.size(); ++b) {
        const ktsim::Channel& ch = model.setup().channels[b];
        SCOPED_TRACE(ch.name);
        const hostside::Series& got = trip.decoder.series(b);
        const std::uint64_t firstSecond = ktsim::samplesDue(model, ch, 1.0);
        ASSERT_GE(got.values.size(), firstSecond);
        if (ch.kind == ktsim::ChannelKind::SingleValue || ch.control)
            continue;
        const bool isFloat64 = ch.dataType == 7;
        stamped += isFloat64 ? 1 : 0;
        for (std::uint64_t i = 0; i < got.values.size(); ++i) {
            const double expected = isFloat64 && i < firstSecond ? 1234.5 : model.decoded(ch, i);
            ASSERT_EQ(got.values[i], expected) << "sample " << i;
            if (ch.kind == ktsim::ChannelKind::Async) {
                ASSERT_EQ(got.times[i], model.timestamp(ch, i)) << "sample " << i;
            }
        }
    }
    EXPECT_EQ(stamped, 2); // Voltage (sync) and Temperature (async)
}

TEST(SampleStreamTest, SlowReadersGetEverySampleInCappedPackets)
{
    RoundTrip trip("builtin:bench64", 1);
    trip.run(0.5, 0.5, 4096); // one late call: many small packets
    EXPECT_GT(trip.decoder.packets, 100);
    for (std::size_t b = 0; b < 64; ++b)
        ASSERT_EQ(trip.decoder.series(b).values.size(), 5000u) << b;
    EXPECT_EQ(trip.decoder.series(63).values[4999], trip.model->decoded(trip.model->setup().channels[63], 4999));
    // Packet times are those of each packet's first sample.
    EXPECT_EQ(trip.decoder.packetDays[0], 45000.25);
    EXPECT_GT(trip.decoder.packetDays.back(), 45000.25);
}

TEST(SampleStreamTest, ValuesArePureFunctionsOfSeedChannelAndIndex)
{
    ktsim::SampleModel a(ktsim::loadSetup("builtin:default"), 7);
    ktsim::SampleModel b(ktsim::loadSetup("builtin:default"), 7);
    ktsim::SampleModel other(ktsim::loadSetup("builtin:default"), 8);
    const ktsim::Channel& noise = a.channel("Temperature");
    const ktsim::Channel& sine = a.channel("Voltage");
    int differ = 0;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        EXPECT_EQ(a.decoded(noise, i), b.decoded(noise, i));
        EXPECT_EQ(a.timestamp(noise, i), b.timestamp(noise, i));
        EXPECT_EQ(a.decoded(sine, i), other.decoded(sine, i));
        differ += a.decoded(noise, i) != other.decoded(noise, i);
        double t = a.timestamp(noise, i);
        EXPECT_GE(t, i / 20.0);
        EXPECT_LT(t, (i + 0.5) / 20.0);
        EXPECT_LE(std::abs(a.physical(noise, i) - 21.5), 0.25);
    }
    EXPECT_GT(differ, 990);
    EXPECT_NEAR(a.decoded(sine, 125), 5.0, 1e-12);

    // Waveforms that repeat after whole numbers of samples repeat exactly,
    // however far into a run.
    struct Period {
        const char* name;
        std::uint64_t samples;
    } periods[] = {{"Voltage", 500}, {"Current", 1000},  {"Pressure", 1000}, {"Position", 1000},
                   {"Ticks", 0},     {"Temperature", 0}, {"Gain", 0}};
    for (const Period& p : periods) {
        const ktsim::Channel& ch = a.channel(p.name);
        EXPECT_EQ(a.period(ch), p.samples) << p.name;
        for (std::uint64_t i : {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{1} << 40}) {
            if (p.samples) {
                EXPECT_EQ(a.decoded(ch, i), a.decoded(ch, i + 3 * p.samples)) << p.name << " " << i;
            }
        }
    }
}

TEST(SampleStreamTest, QuantisesIntegerTypesWithTheHostsConversion)
{
    struct Case {
        int type;
        double scale1, offset1, scale2, offset2;
        double physical;
        std::int64_t raw;
        double decoded;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {2, 1, 0, 0, 0, -1.0, -1, -1.0, {0xFF, 0xFF}},
        {3, 1, 0, 0, 0, 65535.0, 65535, 65535.0, {0xFF, 0xFF}},
        {1, 1, 0, 0, 0, 255.0, 255, 255.0, {0xFF}},
        {0, 2, 1, 0, 0, 7.0, 3, 7.0, {0x03}},
        {0, 2, 1, 10, 0, 70.0, 3, 70.0, {0x03}},
        {2, 0.5, 0, 2, -0.5, 10.2, 11, 10.5, {0x0B, 0x00}}, // nearest step
        {2, 1, 0, 0, 0, 1e9, 32767, 32767.0, {0xFF, 0x7F}}, // saturates
        {2, 1, 0, 0, 0, -1e9, -32768, -32768.0, {0x00, 0x80}},
        {3, 1, 0, 0, 0, -5.0, 0, 0.0, {0x00, 0x00}},
        {4, 0.125, -100, 0, 0, 0.0, 800, 0.0, {0x20, 0x03, 0x00, 0x00}},
        {4, 1, 0, 0, 0, NAN, 0, 0.0, {0, 0, 0, 0}},
        {6, 1, 0, 0, 0, -2.0, -2, -2.0, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {4, 0, 0, 0, 0, 5.0, 0, 0.0, {0, 0, 0, 0}}, // scale1 0: nothing to invert
    };
    for (const Case& c : cases) {
        ktsim::Channel ch;
        ch.dataType = c.type;
        ch.scale1 = c.scale1;
        ch.offset1 = c.offset1;
        ch.scale2 = c.scale2;
        ch.offset2 = c.offset2;
        ktsim::RawSample raw = ktsim::encodeRaw(ch, c.physical);
        SCOPED_TRACE("type " + std::to_string(c.type) + " value " + std::to_string(c.physical));
        EXPECT_EQ(raw.integer, c.raw);
        EXPECT_EQ(ktsim::hostDecode(ch, raw), c.decoded);
        EXPECT_EQ(std::vector<std::uint8_t>(raw.bytes.begin(), raw.bytes.begin() + raw.size), c.bytes);
    }
    ktsim::Channel f;
    f.dataType = 5;
    EXPECT_EQ(ktsim::hostDecode(f, ktsim::encodeRaw(f, 0.1)), static_cast<double>(0.1f));
    EXPECT_EQ(ktsim::hostDecode(f, ktsim::encodeRaw(f, 1e300)), INFINITY);
    f.dataType = 12;
    EXPECT_EQ(ktsim::encodeRaw(f, 1.0).size, 4);
    EXPECT_TRUE(std::isnan(ktsim::hostDecode(f, ktsim::encodeRaw(f, 1.0))));
}

TEST(SampleStreamTest, SingleValuesAndControlWritesReachTheStream)
{
    RoundTrip trip("builtin:clean", 3);
    const ktsim::Setup& setup = trip.model->setup();
    const ktsim::Channel& setpoint = *setup.findByName("Setpoint");
    const ktsim::Channel& gain = *setup.findByName("Gain");
    auto block = [&](const ktsim::Channel& ch) { return static_cast<std::size_t>(&ch - setup.channels.data()); };
    trip.run(0.5, 0.01);
    EXPECT_EQ(trip.decoder.series(block(setpoint)).values, (std::vector<double>{1.5}));
    EXPECT_EQ(trip.decoder.series(block(gain)).values, (std::vector<double>(5, 1.0)));
    // Mode updates twice a second: values at 0 s and 0.5 s, one per packet.
    EXPECT_EQ(trip.decoder.series(block(*setup.findByName("Mode"))).values, (std::vector<double>{0, 1}));

    trip.controls.set(setpoint.number, -2.25);
    trip.controls.set(gain.number, 0.5);
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(trip.source.append(bytes, 0.501, 0, trip.controls)); // nothing due but the write
    trip.decoder.feed(bytes);
    EXPECT_EQ(trip.decoder.series(block(setpoint)).values.back(), -2.25);
    bytes.clear();
    ASSERT_TRUE(trip.source.append(bytes, 0.7, 0, trip.controls));
    trip.decoder.feed(bytes);
    EXPECT_EQ(trip.decoder.series(block(setpoint)).values.size(), 2u); // no repeat without a new write
    EXPECT_EQ(trip.decoder.series(block(gain)).values.back(), static_cast<double>(0.5f));
    EXPECT_EQ(trip.decoder.series(block(gain)).values.size(), 7u);
}

TEST(SampleStreamTest, PacketLayoutAndInjectedPackets)
{
    std::vector<std::uint8_t> bytes;
    ktsim::PacketBuilder packet(bytes);
    packet.begin(41, 45000.5);
    packet.count(0);
    packet.count(1);
    packet.sample(ktsim::RawSample{});
    packet.finish();
    ASSERT_EQ(bytes.size(), 8 + 28 + 4 + 4 + 8 + 8u);
    auto int32At = [&](std::size_t at) {
        std::int32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    EXPECT_EQ(int32At(8), 41);
    EXPECT_EQ(int32At(12), 2);              // blocks
    EXPECT_EQ(int32At(16), 28 + 4 + 4 + 8); // body length
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.end() - 8, bytes.end()),
              (std::vector<std::uint8_t>{7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_FALSE(ktsim::containsEndMarker(bytes.data(), bytes.size() - 8));

    // Each injected packet is rejected by a careful host and adds nothing.
    for (auto kind : {ktsim::MalformedKind::ShortBody, ktsim::MalformedKind::BlockPastBody,
                      ktsim::MalformedKind::NegativeCount, ktsim::MalformedKind::HugeCount}) {
        RoundTrip trip("builtin:clean", 3);
        std::vector<std::uint8_t> bad;
        ktsim::appendMalformedPacket(bad, kind, 45000.0, 8);
        trip.decoder.feed(bad);
        EXPECT_EQ(trip.decoder.rejected, 1);
        EXPECT_EQ(trip.decoder.pendingBytes(), 0u);
        EXPECT_EQ(trip.decoder.series(0).values.size(), 0u);
    }
}

TEST(SampleStreamTest, RestartBeginsAgainAtSampleZero)
{
    RoundTrip trip("builtin:clean", 3);
    trip.run(0.1, 0.05);
    trip.source.restart();
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(trip.source.append(bytes, 0.01, 0, trip.controls));
    trip.decoder.feed(bytes);
    const hostside::Series& v = trip.decoder.series(0);
    ASSERT_EQ(v.values.size(), 110u);
    EXPECT_EQ(v.values[100], trip.model->decoded(trip.model->setup().channels[0], 0));
    EXPECT_EQ(trip.decoder.sequences.back(), 0);
}

} // namespace
