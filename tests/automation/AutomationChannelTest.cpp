// SPDX-License-Identifier: MIT
// Automation channel reads and writes against the in-process fake: the
// data-sync brackets, counts and element types, and which connection
// object a channel uses.

#include "AutomationFixture.h"

#include <cstdlib>

using namespace ktremote;
using namespace ktremote::test;

namespace {

fake::FakeChannel withValues(fake::FakeChannel c, int n)
{
    for (int i = 0; i < n; ++i) {
        c.values.push_back(0.5f + static_cast<float>(i));
        c.times.push_back(10.0 + 0.25 * i);
    }
    return c;
}

fake::FakeChannel asyncChannel(std::vector<int32_t> indexEx, int n)
{
    fake::FakeChannel c = withValues(syncChannel(std::move(indexEx), "Events"), n);
    c.async = true;
    return c;
}

struct Read {
    int result;
    size_t count;
    std::vector<double> values, times;
};

Read read2(::ChannelInstance* channel, size_t capacity)
{
    std::vector<double> values(capacity + 1, -7.0), times(capacity + 1, -7.0);
    size_t count = capacity;
    Read r{ktconChannelReadScalarData_2(channel, values.data(), times.data(), &count), count, {}, {}};
    EXPECT_EQ(values[capacity], -7.0) << "wrote past the values";
    EXPECT_EQ(times[capacity], -7.0) << "wrote past the timestamps";
    r.values.assign(values.begin(), values.begin() + static_cast<ptrdiff_t>(std::min(count, capacity)));
    r.times.assign(times.begin(), times.begin() + static_cast<ptrdiff_t>(std::min(count, capacity)));
    return r;
}

Read readAllocating(::ChannelInstance* channel)
{
    double* values = nullptr;
    double* times = nullptr;
    size_t count = 12345;
    Read r{channelOf(channel)->ReadScalarData(&values, &times, &count), count, {}, {}};
    if (values != nullptr)
        r.values.assign(values, values + count);
    if (times != nullptr)
        r.times.assign(times, times + count);
    EXPECT_TRUE(r.result != KX_OK || values != nullptr);
    std::free(values);
    std::free(times);
    return r;
}

} // namespace

TEST_F(Automation, SynchronousReadFillsAtMostTheCapacity)
{
    kaltrop->channels = {withValues(syncChannel({0, 0}, "Speed"), 5)};
    startWithAllChannels();
    ::ChannelInstance* speed = channels[0];

    Read r = read2(speed, 3);
    EXPECT_EQ(r.result, 2) << "more were waiting than fit";
    EXPECT_EQ(r.count, 3u);
    EXPECT_EQ(r.values, (std::vector<double>{0.5, 1.5, 2.5}));
    EXPECT_EQ(r.times, (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(calls(),
              (Lines{"app.Data", "data.StartDataSync()", "connection[0,0].NumValues",
                     "connection[0,0].GetDataValues(UI2 3)", "data.EndDataSync()"}));

    // What did not fit is still waiting.
    r = read2(speed, 10);
    EXPECT_EQ(r.result, KX_OK);
    EXPECT_EQ(r.values, (std::vector<double>{3.5, 4.5}));

    kaltrop->channels[0] = withValues(kaltrop->channels[0], 4);
    r = read2(speed, 10);
    EXPECT_EQ(r.result, KX_OK);
    EXPECT_EQ(r.count, 4u);
}

TEST_F(Automation, AsynchronousReadsTakeTimestampsOfEitherWidth)
{
    for (VARTYPE timeType : {VT_R8, VT_R4}) {
        SCOPED_TRACE(timeType);
        kaltrop->channels = {asyncChannel({1, 0}, 3)};
        kaltrop->channels[0].timeType = timeType;
        startWithAllChannels();
        ::ChannelInstance* events = channels.back();

        Read r = read2(events, 8);
        EXPECT_EQ(r.result, KX_OK);
        EXPECT_EQ(r.values, (std::vector<double>{0.5, 1.5, 2.5}));
        EXPECT_EQ(r.times, (std::vector<double>{10.0, 10.25, 10.5}));
        EXPECT_EQ(calls(),
                  (Lines{"app.Data", "data.StartDataSync()", "connection[1,0].NumValues",
                         "connection[1,0].GetTSValues(UI2 3)", "connection[1,0].GetDataValues(UI2 3)",
                         "data.EndDataSync()"}));

        kaltrop->channels[0] = withValues(kaltrop->channels[0], 2);
        kaltrop->recorder->clear();
        r = readAllocating(events);
        EXPECT_EQ(r.result, KX_OK);
        EXPECT_EQ(r.values, (std::vector<double>{0.5, 1.5}));
        EXPECT_EQ(r.times, (std::vector<double>{10.0, 10.25}));
        EXPECT_EQ(calls(),
                  (Lines{"app.Data", "data.StartDataSync()", "connection[1,0].NumValues",
                         "connection[1,0].GetTSValues(UI2 2)", "connection[1,0].GetDataValues(UI2 2)",
                         "data.EndDataSync()"}));
        instance->StopMeasurement();
    }
}

TEST_F(Automation, AllocatingReadHandsOverWhatTheApplicationReturned)
{
    kaltrop->channels = {withValues(syncChannel({0, 0}, "Speed"), 0)};
    startWithAllChannels();
    ::ChannelInstance* speed = channels[0];

    double* values = nullptr;
    double* untouched = reinterpret_cast<double*>(&values);
    size_t count = 5;
    EXPECT_EQ(ktconChannelReadScalarData(speed, &values, &untouched, &count), KX_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(values, nullptr) << "an empty array, still to be freed";
    EXPECT_EQ(untouched, reinterpret_cast<double*>(&values)) << "synchronous reads hand over no timestamps";
    std::free(values);

    // 70000 waiting: the request arrives as 4464, and 4464 values come back.
    fake::FakeChannel& c = kaltrop->channels[0];
    c.values.assign(70000, 1.0f);
    kaltrop->recorder->clear();
    const Read r = readAllocating(speed);
    EXPECT_EQ(kaltrop->recorder->linesStartingWith("connection[0,0].GetDataValues"),
              Lines{"connection[0,0].GetDataValues(UI2 4464)"});
    EXPECT_EQ(r.count, 4464u);
}

TEST_F(Automation, FailedReadsStillEndTheDataSync)
{
    kaltrop->channels = {withValues(syncChannel({0, 0}, "Speed"), 4), asyncChannel({0, 1}, 4)};
    startWithAllChannels();
    const struct {
        const char* what;
        size_t channel;
        int32_t numValues;
        const char* failing;
    } cases[] = {{"negative count", 0, -1, ""},
                 {"negative count, async", 1, -5, ""},
                 {"values refused", 0, 4, "connection.GetDataValues"},
                 {"timestamps refused", 1, 4, "connection.GetTSValues"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kaltrop->channels[c.channel].numValues = c.numValues;
        kaltrop->recorder->failing = {c.failing};
        for (bool allocating : {false, true}) {
            kaltrop->recorder->clear();
            const Read r = allocating ? readAllocating(channels[c.channel]) : read2(channels[c.channel], 8);
            EXPECT_EQ(r.result, KX_ERR_APP_CALL_FAILED);
            EXPECT_EQ(calls().back(), "data.EndDataSync()");
            if (c.numValues < 0) {
                EXPECT_EQ(kaltrop->recorder->linesStartingWith("connection").size(), 1u) << "only NumValues";
            }
        }
        kaltrop->channels[c.channel].numValues.reset();
    }
}

TEST_F(Automation, SingleValueReadDeliversTheCurrentValue)
{
    fake::FakeChannel setpoint = syncChannel({2, 0}, "Setpoint");
    setpoint.singleValue = true;
    setpoint.async = true; // type 0, but still read as a single value
    setpoint.currentValue = 42.5;
    kaltrop->channels = {setpoint};
    startWithAllChannels();

    const Read r = read2(channels[0], 5);
    EXPECT_EQ(r.result, KX_OK);
    EXPECT_EQ(r.count, 1u);
    EXPECT_EQ(r.values, std::vector<double>{42.5});
    EXPECT_EQ(r.times, std::vector<double>{0.0});
    EXPECT_EQ(calls(),
              (Lines{"app.Data", "data.StartDataSync()", "connection[2,0].Channel", "channel[2,0].SingleValue",
                     "data.EndDataSync()"}));

    // No room: nothing is written.
    double value = -7.0, time = -7.0;
    size_t count = 0;
    EXPECT_EQ(ktconChannelReadScalarData_2(channels[0], &value, &time, &count), KX_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(value, -7.0);
    EXPECT_EQ(time, -7.0);
}

TEST_F(Automation, ReadsWithoutAConnectionAreRefused)
{
    fake::FakeChannel hidden = withValues(syncChannel({0, 1}, "Hidden"), 3);
    hidden.shown = false;
    kaltrop->channels = {withValues(syncChannel({0, 0}, "Speed"), 3), hidden};
    connect();
    ::ChannelInstance* speed = open("0,0");
    ::ChannelInstance* notListed = open("0,1");
    EXPECT_EQ(read2(speed, 4).result, KX_ERR_APP_CALL_FAILED) << "before the start";

    ASSERT_EQ(instance->StartMeasurement(), KX_OK);
    EXPECT_EQ(read2(speed, 4).result, KX_OK);
    EXPECT_EQ(read2(notListed, 4).result, KX_ERR_APP_CALL_FAILED) << "a channel that got no connection";
    EXPECT_EQ(readAllocating(notListed).result, KX_ERR_APP_CALL_FAILED);

    ASSERT_EQ(instance->StopMeasurement(), KX_OK);
    kaltrop->recorder->clear();
    EXPECT_EQ(read2(speed, 4).result, KX_ERR_APP_CALL_FAILED) << "after the stop";
    EXPECT_EQ(channelOf(speed)->WriteControlData(1.0, -1.0), KX_ERR_NOT_CONTROL_CHANNEL) << "not a control channel";
    EXPECT_EQ(channelOf(speed)->Reset(), KX_ERR_APP_CALL_FAILED);
    EXPECT_TRUE(calls().empty());
}

TEST_F(Automation, EveryChannelReadsItsOwnConnectionWhateverTheOrderItWasOpenedIn)
{
    kaltrop->channels = {withValues(syncChannel({0, 0}, "A"), 1), withValues(syncChannel({0, 1}, "B"), 2),
                         withValues(syncChannel({0, 2}, "C"), 3)};
    kaltrop->channels[1].values = {20.0f, 21.0f};
    kaltrop->channels[2].values = {30.0f, 31.0f, 32.0f};
    connect();
    ::ChannelInstance* c = nullptr;
    ASSERT_EQ(ktconCreateChannelInstanceByNameUtf8(handle(), "C", &c), KX_OK); // ordinal 0
    channels.push_back(c);
    ::ChannelInstance* b = open("0, 1"); // ordinal 1
    ASSERT_EQ(instance->StartMeasurement(), KX_OK);

    EXPECT_EQ(read2(c, 8).values, (std::vector<double>{30, 31, 32}));
    EXPECT_EQ(read2(b, 8).values, (std::vector<double>{20, 21}));
}

TEST_F(Automation, ControlWritesFollowTheApplicationsCurrentChannelKind)
{
    fake::FakeChannel control = syncChannel({4, 0}, "Valve");
    control.control = true;
    kaltrop->channels = {control};
    startWithAllChannels();

    EXPECT_EQ(ktconControlChannelWriteData(channels[0], 2.5), KX_OK);
    EXPECT_EQ(calls(),
              (Lines{"connection[4,0].Channel", "channel[4,0].IsSingleValue",
                     "channel[4,0].AddAsyncData(R8 2.5, R8 -1)", "channel[4,0].ValueChanged()"}));

    kaltrop->channels[0].singleValue = true; // changed since the handle was made
    kaltrop->recorder->clear();
    EXPECT_EQ(ktconControlChannelWriteData(channels[0], 0.75), KX_OK);
    EXPECT_EQ(calls(),
              (Lines{"connection[4,0].Channel", "channel[4,0].IsSingleValue",
                     "channel[4,0].SingleValue := R8 0.75 named(-3)"}));
    EXPECT_EQ(kaltrop->channels[0].currentValue, 0.75);
}

// A channel that is not a control channel refuses the write with its own
// code, before anything reaches the application.
TEST_F(Automation, WritesToOtherChannelsAreRefusedWithoutACall)
{
    kaltrop->channels = {syncChannel({0, 0}, "Speed")};
    startWithAllChannels();
    kaltrop->recorder->clear();
    EXPECT_EQ(ktconControlChannelWriteData(channels[0], 2.5), KX_ERR_NOT_CONTROL_CHANNEL);
    EXPECT_TRUE(calls().empty());
}

TEST_F(Automation, SampleRateResetAndStart)
{
    fake::FakeChannel async = asyncChannel({0, 1}, 0);
    async.expectedAsyncRate = 8.0f;
    fake::FakeChannel single = syncChannel({0, 2}, "Setpoint");
    single.singleValue = true;
    kaltrop->channels = {syncChannel({0, 0}, "Speed"), async, single};
    startWithAllChannels();

    const double expectedRates[] = {1000.0, 8.0, -1.0};
    const int expectedTypes[] = {KX_CHANNEL_SYNC, KX_CHANNEL_ASYNC, KX_CHANNEL_SINGLE_VALUE};
    for (size_t k = 0; k < 3; ++k) {
        double rate = 0;
        int type = -1;
        EXPECT_EQ(ktconGetSampleRate(channels[k], &rate), KX_OK);
        EXPECT_EQ(ktconGetChannelType(channels[k], &type), KX_OK);
        EXPECT_EQ(rate, expectedRates[k]);
        EXPECT_EQ(type, expectedTypes[k]);
    }
    EXPECT_TRUE(calls().empty()) << "answered from the record";

    EXPECT_EQ(channelOf(channels[0])->Reset(), KX_OK);
    EXPECT_EQ(channelOf(channels[0])->Start(), KX_OK);
    EXPECT_EQ(calls(), (Lines{"connection[0,0].Reset", "connection[0,0].Start"}));
    kaltrop->recorder->failing = {"connection.Reset"};
    EXPECT_EQ(channelOf(channels[0])->Reset(), KX_ERR_APP_CALL_FAILED);
}
