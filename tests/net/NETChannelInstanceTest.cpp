// SPDX-License-Identifier: MIT
// Network channel handles: getters, the sample-rate query, control writes,
// transfer marks and the reads, with the bytes they put on the wire.

#include "ChannelLines.h"
#include "NetTestSupport.h"

#include "net/NETChannelInstance.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace ktremote::test {
namespace {

std::vector<Line> channelLines()
{
    return {
        Line().id("1").name("Sync").set(10, "4").set(11, "999"),
        Line().id("2").name("Async").set(10, "Async").set(11, "25.5"),
        Line().id("3").name("Single").set(10, "SingleValue"),
        Line().id("12").name("Valve").set(8, "%").set(9, "-1"),
        Line().id("3;1").name("Nested").set(9, "-1"),
        Line().id("1").name("Sync twin"),
    };
}

struct Channels : ConnectedInstance {
    // `rateReply` answers "GETSAMPLERATE".
    explicit Channels(const std::string& rateReply = "+OK 1000\r\n")
        : ConnectedInstance(listing(channelLines(), {{"GETSAMPLERATE", rateReply}}))
    {
        refresh();
    }

    std::unique_ptr<ChannelInstance> open(const char* name)
    {
        ::ChannelInstance* out = nullptr;
        EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(handle(), name, &out), KX_OK) << name;
        return std::unique_ptr<ChannelInstance>(channelOf(out));
    }
};

TEST(NETChannelInstance, AsyncAndSingleValueRatesNeedNoCommand)
{
    Channels app;
    double rate = 0;
    EXPECT_EQ(app.open("Async")->GetSampleRate(&rate), KX_OK);
    EXPECT_EQ(rate, static_cast<double>(25.5f));
    EXPECT_EQ(app.open("Single")->GetSampleRate(&rate), KX_OK);
    EXPECT_EQ(rate, -1.0);
    EXPECT_EQ(app.sentAfterConnect(), "LISTUSEDCHS DW\r\n");
}

TEST(NETChannelInstance, SyncRateIsTheReplyDividedByTheDivider)
{
    Channels app("+OK 1000\r\n");
    auto channel = app.open("Sync");
    double rate = 0;
    EXPECT_EQ(ktconGetSampleRate(handleOf(channel.get()), &rate), KX_OK);
    EXPECT_EQ(rate, 250.0);
    EXPECT_EQ(channel->sampleRate, 250.0);
    EXPECT_EQ(app.sentAfterConnect(), "LISTUSEDCHS DW\r\nGETSAMPLERATE\r\n");
}

TEST(NETChannelInstance, TheRateIsCutOutOfTheReply)
{
    const struct {
        const char* reply;
        std::optional<float> rate;
    } cases[] = {
        {"+OK 1000\r\n", 1000.0f},
        {"+OK  0.5 Hz\r\n", 0.5f},
        {"+OK 12,5\r\n", 12.0f},
        {"+OK 0.1\r\n", 0.1f},
        {"+OK 48000\r\nextra", 48000.0f},
        {"abcd7", 7.0f},
        {"abcd", std::nullopt},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {"-ERR\r\n", std::nullopt},
        {"+OK fast\r\n", std::nullopt},
        {"+OK 1e39\r\n", std::nullopt},
    };
    for (const auto& c : cases) {
        float rate = -3.0f;
        const bool ok = NETChannelInstance::rateFromReply(c.reply, &rate);
        EXPECT_EQ(ok, c.rate.has_value()) << c.reply;
        EXPECT_EQ(rate, c.rate.value_or(-3.0f)) << c.reply;
    }
}

TEST(NETChannelInstance, AFailedRateQueryLeavesRateAndRecordAlone)
{
    Channels app("-ERR\r\n");
    auto channel = app.open("Sync");
    double rate = 7.0;
    EXPECT_EQ(channel->GetSampleRate(&rate), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(lastFailureText(app.handle()), "the application's sample rate reply holds no number");
    EXPECT_EQ(rate, 7.0);
    EXPECT_EQ(channel->sampleRate, 999.0);

    // Nor does a command connection that is gone.
    ASSERT_EQ(ktconDisconnect(app.handle()), KX_OK);
    EXPECT_EQ(channel->GetSampleRate(&rate), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(lastFailureText(app.handle()), "the command connection is closed");
    EXPECT_EQ(rate, 7.0);
}

TEST(NETChannelInstance, ARecordWithoutOwnerAsksThroughTheGivenInstance)
{
    Channels app("+OK 800\r\n");
    ChannelRecord copy = app.instance->channels[0];
    ASSERT_EQ(copy.owner, nullptr);
    double rate = 0;
    EXPECT_EQ(NETChannelInstance::querySampleRate(*app.instance, copy, &rate), KX_OK);
    EXPECT_EQ(rate, 200.0);
    EXPECT_EQ(copy.sampleRate, 200.0);
    EXPECT_EQ(app.instance->channels[0].sampleRate, 999.0);
}

TEST(NETChannelInstance, AControlWriteSendsTheChannelAndTheShortestValue)
{
    Channels app;
    EXPECT_EQ(ktconControlChannelWriteData(handleOf(app.open("Valve").get()), 2.5), KX_OK);
    auto nested = app.open("Nested");
    EXPECT_EQ(nested->WriteControlData(1e20, -1.0), KX_OK);
    EXPECT_EQ(nested->WriteControlData(1.0, -1.0), KX_OK);
    EXPECT_EQ(app.sentAfterConnect(),
              "LISTUSEDCHS DW\r\n"
              "SETCTRLCHANNELVALUES 12:2.5\\\r\n"
              "SETCTRLCHANNELVALUES 3;1:1e+20\\\r\n"
              "SETCTRLCHANNELVALUES 3;1:1\\\r\n");
}

TEST(NETChannelInstance, TheControlCommandNamesTheChannelByItsListField)
{
    EXPECT_EQ(NETChannelInstance::controlCommand("0,3,1,2", 0.0), "SETCTRLCHANNELVALUES 3;1;2:0\\");
    EXPECT_EQ(NETChannelInstance::controlCommand("0,", -0.25), "SETCTRLCHANNELVALUES :-0.25\\");
}

TEST(NETChannelInstance, RefusedOperationsSendNothing)
{
    Channels app;
    auto channel = app.open("Sync");
    EXPECT_EQ(channel->WriteControlData(1.0, -1.0), KX_ERR_NOT_CONTROL_CHANNEL);
    EXPECT_EQ(ktconControlChannelWriteData(handleOf(channel.get()), 1.0), KX_ERR_NOT_CONTROL_CHANNEL);
    EXPECT_EQ(lastFailureText(app.handle()), "the channel is not a control channel");
    EXPECT_EQ(channel->Reset(), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(channel->Start(), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(app.sentAfterConnect(), "LISTUSEDCHS DW\r\n");
}

TEST(NETChannelInstance, SettingTheTransferFlagMarksEveryRecordWithTheId)
{
    Channels app;
    auto channel = app.open("Async");
    ASSERT_EQ(ktconCreateChannelInstance(app.handle(), "0,1", nullptr), KX_ERR_INVALID_HANDLE);
    ::ChannelInstance* out = nullptr;
    ASSERT_EQ(ktconCreateChannelInstance(app.handle(), "0,1", &out), KX_OK);
    std::unique_ptr<ChannelInstance> sync(channelOf(out));
    const auto& channels = app.instance->channels;

    EXPECT_EQ(ktconChannelSetTransferred(out, false), KX_OK);
    EXPECT_FALSE(sync->transferred);
    EXPECT_FALSE(channels[0].transferred);
    EXPECT_FALSE(channels[5].transferred);
    EXPECT_EQ(ktconChannelSetTransferred(out, true), KX_OK);
    EXPECT_TRUE(sync->transferred);
    EXPECT_TRUE(channels[0].transferred);
    EXPECT_TRUE(channels[5].transferred);
    EXPECT_TRUE(channels[1].transferred); // "Async", opened above
    EXPECT_FALSE(channels[2].transferred);
}

TEST(NETChannelInstance, ReadsDeliverNothingBeforeAMeasurement)
{
    Channels app;
    auto channel = app.open("Sync");
    double values[4] = {1, 2, 3, 4};
    double times[4] = {5, 6, 7, 8};
    size_t count = 4;
    EXPECT_EQ(ktconChannelReadScalarData_2(handleOf(channel.get()), values, times, &count), KX_OK);
    EXPECT_EQ(ktconChannelReadScalarData_2abs(handleOf(channel.get()), values, times, &count), KX_OK);
    double* valueArray = nullptr;
    double* timeArray = nullptr;
    EXPECT_EQ(ktconChannelReadScalarData(handleOf(channel.get()), &valueArray, &timeArray, &count), KX_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(values[0], 1.0);
    EXPECT_EQ(times[3], 8.0);
    EXPECT_EQ(valueArray, nullptr);
    EXPECT_EQ(timeArray, nullptr);
}

} // namespace
} // namespace ktremote::test
