// SPDX-License-Identifier: MIT
// The checks every export applies before it forwards: null handle, not
// connected, inactive mode, the failure guard, and which results are passed on.

#include "TestInstances.h"
#include "ktremote.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

using namespace ktremote;
using namespace ktremote::test;

namespace {

using InstanceCall = std::function<KX_ERROR_CODE(::KTXInstance*)>;
using ChannelCall = std::function<KX_ERROR_CODE(::ChannelInstance*)>;

struct NamedInstanceCall {
    const char* name;
    InstanceCall call;
    bool checksConnected;
    bool checksMode;
};

struct NamedChannelCall {
    const char* name;
    ChannelCall call;
    bool checksConnected;
};

// Storage the calls write into; never null so that only the guards decide.
struct Outputs {
    size_t count = 0;
    int size = 0;
    int state = -1;
    bool flag = false;
    char text[64] = "untouched";
    char** ids = nullptr;
    double values[8] = {};
    double times[8] = {};
    double* valuesOut = nullptr;
    double* timesOut = nullptr;
    double rate = 0;
    ::ChannelInstance* channel = nullptr;
};

Outputs out;

std::vector<NamedInstanceCall> instanceCalls()
{
    return {
        {"Connect", [](::KTXInstance* h) { return ktconConnect(h, "a b c"); }, false, true},
        {"Disconnect", [](::KTXInstance* h) { return ktconDisconnect(h); }, true, false},
        {"GetChannelCount", [](::KTXInstance* h) { return ktconGetChannelCount(h, &out.count); }, true, true},
        {"SetAppWindowVisible", [](::KTXInstance* h) { return ktconSetAppWindowVisible(h, true); }, true, true},
        {"LoadSetup", [](::KTXInstance* h) { return ktconLoadSetup(h, "x.setup"); }, true, true},
        {"IsInAqusition", [](::KTXInstance* h) { return ktconIsInAqusition(h, &out.flag); }, true, true},
        {"StartMeasurement", [](::KTXInstance* h) { return ktconStartMeasurement(h); }, true, true},
        {"StopMeasurement", [](::KTXInstance* h) { return ktconStopMeasurement(h); }, true, true},
        {"StartStoring", [](::KTXInstance* h) { return ktconStartStoring(h, "f"); }, true, true},
        {"StopStoring", [](::KTXInstance* h) { return ktconStopStoring(h); }, true, true},
        {"BeginRead", [](::KTXInstance* h) { return ktconBeginRead(h, 0, 0); }, true, true},
        {"EndRead", [](::KTXInstance* h) { return ktconEndRead(h); }, true, true},
        {"EnumerateChannels", [](::KTXInstance* h) { return ktconEnumerateChannels(h, &out.ids, &out.count); }, true,
         true},
        {"InitChannelIdEnum", [](::KTXInstance* h) { return ktconInitChannelIdEnum(h); }, true, false},
        {"GetNextChannelIdSize", [](::KTXInstance* h) { return ktconGetNextChannelIdSize(h, &out.size); }, true, false},
        {"GetNextChannelId", [](::KTXInstance* h) { return ktconGetNextChannelId(h, out.text); }, true, false},
        {"CreateChannelInstance", [](::KTXInstance* h) { return ktconCreateChannelInstance(h, "9,9", &out.channel); },
         true, false},
    };
}

std::vector<NamedChannelCall> channelCalls()
{
    return {
        {"ChannelGetName", [](::ChannelInstance* h) { return ktconChannelGetName(h, out.text, sizeof out.text); },
         true},
        {"ChannelGetNameUtf8",
         [](::ChannelInstance* h) { return ktconChannelGetNameUtf8(h, out.text, sizeof out.text, &out.count); }, true},
        {"ChannelSetTransferred", [](::ChannelInstance* h) { return ktconChannelSetTransferred(h, true); }, true},
        {"ReadScalarData",
         [](::ChannelInstance* h) { return ktconChannelReadScalarData(h, &out.valuesOut, &out.timesOut, &out.count); },
         true},
        {"ReadScalarData_2",
         [](::ChannelInstance* h) { return ktconChannelReadScalarData_2(h, out.values, out.times, &out.count); }, true},
        {"ReadScalarData_2abs",
         [](::ChannelInstance* h) { return ktconChannelReadScalarData_2abs(h, out.values, out.times, &out.count); },
         true},
        {"ControlChannelWriteData", [](::ChannelInstance* h) { return ktconControlChannelWriteData(h, 1.5); }, false},
        {"GetSampleRate", [](::ChannelInstance* h) { return ktconGetSampleRate(h, &out.rate); }, false},
        {"GetChannelType", [](::ChannelInstance* h) { return ktconGetChannelType(h, &out.size); }, false},
        {"IsChannelControl", [](::ChannelInstance* h) { return ktconIsChannelControl(h, &out.flag); }, false},
        {"GetChUnit", [](::ChannelInstance* h) { return ktconGetChUnit(h, out.text, sizeof out.text); }, false},
    };
}

} // namespace

TEST(ExportGuards, EveryHandleTakingExportRejectsANullHandle)
{
    for (const auto& c : instanceCalls())
        EXPECT_EQ(c.call(nullptr), KX_ERR_INVALID_HANDLE) << c.name;
    for (const auto& c : channelCalls())
        EXPECT_EQ(c.call(nullptr), KX_ERR_INVALID_HANDLE) << c.name;
    EXPECT_EQ(ktconGetState(nullptr, &out.state), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconStopStoringEx(nullptr, &out.state), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconSetBufferSize(nullptr, 10), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconDestroyInstance(nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconFreeChannelInstance(nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconFreeEnumerateChannels(nullptr, &out.ids), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(nullptr, "Speed", &out.channel), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconCreateInstance(nullptr, 1), KX_ERR_INVALID_HANDLE);
}

TEST(ExportGuards, NotConnectedInstanceIsRefusedExceptByConnect)
{
    for (const auto& c : instanceCalls()) {
        TestInstance instance(false, 1);
        const KX_ERROR_CODE result = c.call(instance.handle());
        if (c.checksConnected) {
            EXPECT_EQ(result, KX_ERR_NOT_CONNECTED) << c.name;
            EXPECT_EQ(instance.calls, 0) << c.name;
        } else {
            EXPECT_EQ(result, KX_OK) << c.name;
            EXPECT_EQ(instance.calls, 1) << c.name;
        }
    }
    TestInstance instance(false, 1);
    EXPECT_EQ(ktconGetState(instance.handle(), &out.state), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconStopStoringEx(instance.handle(), &out.state), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconSetBufferSize(instance.handle(), 5), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(instance.handle(), "Speed", &out.channel), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(instance.calls, 0);
    EXPECT_EQ(instance.bufferSize, -1);
}

TEST(ExportGuards, ChannelOfUnconnectedOwnerIsRefusedOnlyWhereConnectionIsChecked)
{
    for (const auto& c : channelCalls()) {
        TestInstance owner(false, 1);
        TestChannel channel;
        channel.owner = &owner;
        const KX_ERROR_CODE result = c.call(handleOf(&channel));
        if (c.checksConnected) {
            EXPECT_EQ(result, KX_ERR_NOT_CONNECTED) << c.name;
            EXPECT_EQ(channel.calls, 0) << c.name;
        } else {
            EXPECT_EQ(result, KX_OK) << c.name;
        }
    }
}

TEST(ExportGuards, InactiveModeMakesModeCheckedExportsDoNothing)
{
    for (const auto& c : instanceCalls()) {
        TestInstance instance(true, 7);
        out = Outputs{};
        const KX_ERROR_CODE result = c.call(instance.handle());
        if (c.checksMode) {
            EXPECT_EQ(result, KX_OK) << c.name;
        }
        EXPECT_EQ(instance.calls, c.checksMode ? 0 : 1) << c.name;
    }
    TestInstance instance(true, 7);
    out.state = 99;
    EXPECT_EQ(ktconGetState(instance.handle(), &out.state), KX_OK);
    EXPECT_EQ(out.state, 0);
    EXPECT_EQ(instance.calls, 0);

    out.channel = handleOfChannel(new TestChannel());
    ::ChannelInstance* before = out.channel;
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(instance.handle(), "Speed", &out.channel), KX_OK);
    EXPECT_EQ(out.channel, nullptr);
    ktconFreeChannelInstance(before);

    for (const auto& c : channelCalls()) {
        TestInstance owner(true, -1);
        TestChannel channel;
        channel.owner = &owner;
        channel.name = "Speed";
        out = Outputs{};
        EXPECT_EQ(c.call(handleOf(&channel)), KX_OK) << c.name;
        EXPECT_EQ(channel.calls, 0) << c.name;
        EXPECT_STREQ(out.text, "untouched") << c.name;
    }
}

TEST(ExportGuards, RaisedFailuresBecomeTheExportsOwnCode)
{
    for (Raise kind : {Raise::Failure, Raise::BadAlloc, Raise::Other}) {
        TestInstance instance(true, 1);
        instance.raise = kind;
        EXPECT_EQ(ktconGetChannelCount(instance.handle(), &out.count), KX_ERR_FAILED);
        EXPECT_EQ(ktconLoadSetup(instance.handle(), "s"), KX_ERR_FAILED);
        EXPECT_EQ(ktconStartMeasurement(instance.handle()), KX_ERR_FAILED);
        EXPECT_EQ(ktconGetState(instance.handle(), &out.state), KX_ERR_FAILED);
        EXPECT_EQ(ktconStartStoring(instance.handle(), "f"), KX_ERR_START_STORING);
        EXPECT_EQ(ktconStopStoring(instance.handle()), KX_ERR_STOP_STORING);
        EXPECT_EQ(ktconStopStoringEx(instance.handle(), nullptr), KX_ERR_STOP_STORING);
        // Without a failure guard of its own, Disconnect still keeps the
        // exception inside the library.
        EXPECT_EQ(ktconDisconnect(instance.handle()), KX_OK);
        EXPECT_EQ(ktconConnect(instance.handle(), "a b c"), KX_ERR_FAILED);

        ::ChannelInstance* untouched = reinterpret_cast<::ChannelInstance*>(&instance);
        EXPECT_EQ(ktconCreateChannelInstance(instance.handle(), "0,1", &untouched), KX_ERR_FAILED);
        EXPECT_EQ(untouched, reinterpret_cast<::ChannelInstance*>(&instance));
        EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(instance.handle(), "Speed", &untouched), KX_ERR_FAILED);
        EXPECT_EQ(untouched, nullptr);

        TestChannel channel;
        channel.owner = &instance;
        channel.raise = kind;
        EXPECT_EQ(ktconChannelReadScalarData_2(handleOf(&channel), out.values, out.times, &out.count), KX_ERR_FAILED);
        EXPECT_EQ(ktconControlChannelWriteData(handleOf(&channel), 1.0), KX_ERR_FAILED);
    }
}

// Every way a failure leaves an export, the guard, Disconnect's own catch and
// a channel's export, keeps its text on the instance; a success leaves it.
TEST(ExportGuards, RaisedFailuresLeaveTheirTextOnTheInstance)
{
    const struct {
        Raise kind;
        const char* text;
    } cases[] = {
        {Raise::Failure, "the test operation failed"},
        {Raise::BadAlloc, "the library ran out of memory"},
        {Raise::Other, "conversion failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TestInstance instance(true, 1);
        EXPECT_EQ(lastFailureText(instance.handle()), "");
        instance.raise = c.kind;
        EXPECT_EQ(ktconGetState(instance.handle(), &out.state), KX_ERR_FAILED);
        EXPECT_EQ(lastFailureText(instance.handle()), c.text);
        instance.raise = Raise::Nothing;
        EXPECT_EQ(ktconGetState(instance.handle(), &out.state), KX_OK);
        EXPECT_EQ(lastFailureText(instance.handle()), c.text);

        TestInstance disconnecting(true, 1);
        disconnecting.raise = c.kind;
        EXPECT_EQ(ktconDisconnect(disconnecting.handle()), KX_OK);
        EXPECT_EQ(lastFailureText(disconnecting.handle()), c.text);

        TestInstance owner(true, 1);
        TestChannel channel;
        channel.owner = &owner;
        channel.raise = c.kind;
        EXPECT_EQ(ktconControlChannelWriteData(handleOf(&channel), 1.0), KX_ERR_FAILED);
        EXPECT_EQ(lastFailureText(owner.handle()), c.text);
    }
    EXPECT_EQ(lastFailureText(nullptr), "");
}

TEST(ExportGuards, SomeExportsDropTheOperationsResult)
{
    TestInstance instance(true, 1);
    instance.result = KX_ERR_NOT_SUPPORTED;
    EXPECT_EQ(ktconSetAppWindowVisible(instance.handle(), false), KX_OK);
    EXPECT_EQ(ktconGetChannelCount(instance.handle(), &out.count), KX_OK);
    EXPECT_EQ(ktconIsInAqusition(instance.handle(), &out.flag), KX_OK);
    EXPECT_EQ(ktconBeginRead(instance.handle(), 1, 2), KX_OK);
    EXPECT_EQ(ktconEndRead(instance.handle()), KX_OK);
    // ...and these pass it on.
    EXPECT_EQ(ktconLoadSetup(instance.handle(), "s"), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(ktconConnect(instance.handle(), "a b c"), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(ktconStartMeasurement(instance.handle()), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(ktconStopMeasurement(instance.handle()), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(ktconGetState(instance.handle(), &out.state), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(ktconStartStoring(instance.handle(), "f"), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(ktconStopStoring(instance.handle()), KX_ERR_NOT_SUPPORTED);

    TestChannel channel;
    channel.owner = &instance;
    channel.result = KX_ERR_NOT_CONTROL_CHANNEL;
    EXPECT_EQ(ktconControlChannelWriteData(handleOf(&channel), 2.5), KX_ERR_NOT_CONTROL_CHANNEL);
    EXPECT_EQ(channel.lastValue, 2.5);
    EXPECT_EQ(channel.lastTime, -1.0);
    EXPECT_EQ(ktconGetSampleRate(handleOf(&channel), &out.rate), KX_OK);
    EXPECT_EQ(ktconChannelReadScalarData(handleOf(&channel), &out.valuesOut, &out.timesOut, &out.count), KX_OK);
    channel.result = KX_ERR_DATA_OVERRUN;
    EXPECT_EQ(ktconChannelReadScalarData_2(handleOf(&channel), out.values, out.times, &out.count), KX_ERR_DATA_OVERRUN);
    EXPECT_EQ(ktconChannelReadScalarData_2abs(handleOf(&channel), out.values, out.times, &out.count),
              KX_ERR_DATA_OVERRUN);
}

TEST(ExportGuards, StartStoringChecksTheNameBeforeTheConnection)
{
    TestInstance instance(false, 1);
    EXPECT_EQ(ktconStartStoring(instance.handle(), nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconStartStoring(instance.handle(), "f"), KX_ERR_NOT_CONNECTED);
}

TEST(ExportGuards, NullOutputPointersAreRefusedNotWrittenThrough)
{
    TestInstance instance(true, 1);
    TestChannel channel;
    channel.owner = &instance;
    EXPECT_EQ(ktconGetChannelCount(instance.handle(), nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconGetState(instance.handle(), nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconIsInAqusition(instance.handle(), nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconEnumerateChannels(instance.handle(), nullptr, &out.count), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconCreateChannelInstance(instance.handle(), "0,1", nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconGetNextChannelIdSize(instance.handle(), nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconGetChannelType(handleOf(&channel), nullptr), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconChannelReadScalarData_2(handleOf(&channel), nullptr, out.times, &out.count), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconGetVersion(nullptr, 10), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(instance.calls + channel.calls, 0);
}

TEST(ExportGuards, SetBufferSizeNeedsANetworkInstance)
{
    TestInstance automation(true, 0);
    EXPECT_EQ(ktconSetBufferSize(automation.handle(), 10), KX_ERR_FAILED);
    EXPECT_EQ(automation.bufferSize, -1);

    TestInstance network(true, 1);
    EXPECT_EQ(ktconSetBufferSize(network.handle(), 10), KX_OK);
    EXPECT_EQ(network.bufferSize, 10);
    EXPECT_EQ(ktconSetBufferSize(network.handle(), -5), KX_OK); // stored unchecked
    EXPECT_EQ(network.bufferSize, -5);
}

// The guards return before anything is written: a host that preset its
// variable finds it as it was after -9 and -4.
TEST(ExportGuards, ChannelCreationRefusedByTheGuardsLeavesTheOutputAlone)
{
    TestInstance unconnected(false, 1);
    ::ChannelInstance* const preset = reinterpret_cast<::ChannelInstance*>(&unconnected);
    ::ChannelInstance* channel = preset;
    EXPECT_EQ(ktconCreateChannelInstance(nullptr, "0,1", &channel), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconCreateChannelInstance(unconnected.handle(), "0,1", &channel), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(nullptr, "Speed", &channel), KX_ERR_INVALID_HANDLE);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(unconnected.handle(), "Speed", &channel), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(channel, preset);
}

TEST(ExportGuards, ChannelCreationReportsMissingChannels)
{
    TestInstance instance(true, 1);
    ::ChannelInstance* channel = reinterpret_cast<::ChannelInstance*>(&instance);
    EXPECT_EQ(ktconCreateChannelInstance(instance.handle(), "0,2", &channel), KX_ERR_CHANNEL_NOT_CREATED);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(instance.handle(), "Nope", &channel), KX_ERR_CHANNEL_NOT_FOUND);
    EXPECT_EQ(channel, nullptr);

    ASSERT_EQ(ktconCreateChannelInstance(instance.handle(), "0,1", &channel), KX_OK);
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channelOf(channel)->owner, &instance);
    EXPECT_EQ(ktconFreeChannelInstance(channel), KX_OK);
    ASSERT_EQ(ktconCreateChannelInstanceByNameUtf8(instance.handle(), "Speed", &channel), KX_OK);
    EXPECT_EQ(ktconFreeChannelInstance(channel), KX_OK);

    // The old by-name export reads nothing and writes nothing.
    channel = reinterpret_cast<::ChannelInstance*>(&instance);
    EXPECT_EQ(ktconCreateChannelInstanceByName(nullptr, nullptr, nullptr), KX_OK);
    EXPECT_EQ(ktconCreateChannelInstanceByName(instance.handle(), "Speed", &channel), KX_OK);
    EXPECT_EQ(channel, reinterpret_cast<::ChannelInstance*>(&instance));
}

TEST(ExportGuards, StopStoringExReportsTheStateAfterStopping)
{
    TestInstance instance(true, 1);
    int state = 99;
    EXPECT_EQ(ktconStopStoringEx(instance.handle(), &state), KX_OK);
    EXPECT_EQ(state, 3);
    EXPECT_EQ(instance.calls, 2); // StopStoring, then GetState

    instance.result = KX_ERR_STOP_STORING; // both operations now fail
    state = 99;
    EXPECT_EQ(ktconStopStoringEx(instance.handle(), &state), KX_ERR_STOP_STORING);
    EXPECT_EQ(state, 0);

    instance.result = 0;
    instance.calls = 0;
    EXPECT_EQ(ktconStopStoringEx(instance.handle(), nullptr), KX_OK);
    EXPECT_EQ(instance.calls, 1);
}
