// SPDX-License-Identifier: MIT
// The automation instance against the in-process fake application: what it
// asks the application, in which order and with which arguments, and what
// it reports to the host.

#include "AutomationFixture.h"

#include <cstdlib>

using namespace ktremote;
using namespace ktremote::test;

namespace {

const char* const connectCalls[] = {"app.Init()", "app.Visible := UI2 1 named(-3)",
                                    "app.SuppressMessages := UI2 65535 named(-3)"};

// n synchronous channels with ids 0,0 .. 0,n-1.
void addChannels(fake::FakeKaltrop& kaltrop, int n)
{
    for (int k = 0; k < n; ++k)
        kaltrop.channels.push_back(syncChannel({0, k}, "ch" + std::to_string(k)));
}

struct Enumerated {
    int result;
    std::vector<std::string> ids; // "(null)" for a null entry
};

Enumerated enumerate(ktremote::KTXInstance& instance)
{
    char** ids = nullptr;
    size_t count = 0;
    Enumerated e{instance.EnumerateChannels(&ids, &count), {}};
    for (size_t k = 0; k < count; ++k) {
        e.ids.push_back(ids[k] != nullptr ? ids[k] : "(null)");
        std::free(ids[k]);
    }
    instance.FreeEnumerateChannels(&ids);
    return e;
}

} // namespace

TEST_F(Automation, ConnectInitialisesAndShowsTheApplication)
{
    ASSERT_EQ(ktconConnect(handle(), "ignored"), KX_OK);
    EXPECT_TRUE(instance->connected);
    EXPECT_EQ(instance->mode, 0);
    EXPECT_EQ(calls(), Lines(std::begin(connectCalls), std::end(connectCalls)));

    // A second connect makes a new application object, initialises it
    // again and lets go of the first.
    kaltrop->recorder->clear();
    ASSERT_EQ(instance->Connect(""), KX_OK);
    EXPECT_EQ(calls(), Lines(std::begin(connectCalls), std::end(connectCalls)));
    EXPECT_EQ(kaltrop->recorder->live, 1);
}

TEST_F(Automation, ConnectFailuresLeaveTheInstanceUnconnected)
{
    instance->applicationAvailable = false;
    EXPECT_EQ(instance->Connect(""), KX_ERR_APP_NOT_CREATED);
    EXPECT_EQ(ktconConnect(handle(), ""), KX_ERR_APP_NOT_CREATED);
    int state = 0;
    EXPECT_EQ(ktconGetState(handle(), &state), KX_ERR_NOT_CONNECTED);

    instance->applicationAvailable = true;
    kaltrop->recorder->failing = {"app.SuppressMessages"};
    EXPECT_EQ(instance->Connect(""), KX_ERR_FAILED);
    EXPECT_FALSE(instance->connected);
}

TEST_F(Automation, OnlyShownChannelsWithDataTypeUpToNineAreListed)
{
    const struct {
        const char* what;
        bool shown;
        int32_t dataType;
        size_t listed;
    } cases[] = {{"hidden", false, 1, 4}, {"type 10", true, 10, 4}, {"type 9", true, 9, 5}, {"type -1", true, -1, 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kaltrop->channels.clear();
        addChannels(*kaltrop, 5);
        kaltrop->channels[3].shown = c.shown;
        kaltrop->channels[3].dataType = c.dataType;
        connect();
        size_t count = 0;
        EXPECT_EQ(ktconGetChannelCount(handle(), &count), KX_OK);
        EXPECT_EQ(count, c.listed);
        const Enumerated e = enumerate(*instance);
        EXPECT_EQ(e.result, KX_OK);
        EXPECT_EQ(e.ids.size(), c.listed);
        EXPECT_EQ(e.ids.back(), "0,4");
    }
}

TEST_F(Automation, EnumerationHandsOutTheListedIds)
{
    addChannels(*kaltrop, 4);
    kaltrop->channels[1].shown = false;
    kaltrop->channels[2].indexEx = {}; // listed, but without an id
    kaltrop->channels[3].indexEx = {-3, 12};
    connect();
    const Enumerated e = enumerate(*instance);
    EXPECT_EQ(e.result, KX_OK);
    EXPECT_EQ(e.ids, (Lines{"0,0", "(null)", "-3,12"}));
    EXPECT_EQ(instance->usedChannelCount, 4);
    // One walk over the collection; per position the id first, then
    // whether it is listed.
    EXPECT_EQ(kaltrop->recorder->linesStartingWith("channel[0,0]"),
              (Lines{"channel[0,0].IndexEx", "channel[0,0].Shown", "channel[0,0].DataType"}));
    EXPECT_EQ(kaltrop->recorder->linesStartingWith("data.UsedChannels"), (Lines{"data.UsedChannels"}));
}

TEST_F(Automation, EnumerationRefusals)
{
    connect();
    char** ids = reinterpret_cast<char**>(&ids); // anything but null
    size_t count = static_cast<size_t>(-1);
    EXPECT_EQ(instance->EnumerateChannels(&ids, &count), KX_ERR_BAD_COUNT);
    EXPECT_TRUE(calls().empty());

    count = 7; // no used channels: nothing to hand out
    EXPECT_EQ(instance->EnumerateChannels(&ids, &count), KX_ERR_AUTOMATION_CALL);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0u);

    // A failure half-way hands out nothing rather than a half-filled array.
    addChannels(*kaltrop, 3);
    kaltrop->recorder->failing = {"channel.IndexEx"};
    count = 7;
    EXPECT_EQ(instance->EnumerateChannels(&ids, &count), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ktconEnumerateChannels(handle(), &ids, &count), KX_OK); // the export drops the code
}

TEST_F(Automation, IdEnumerationRestartsOnEveryInit)
{
    addChannels(*kaltrop, 3);
    kaltrop->channels[1].dataType = 10;
    connect();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(ktconInitChannelIdEnum(handle()), KX_OK);
        EXPECT_EQ(instance->idCursor, 0);
        int size = 0;
        char buffer[8];
        EXPECT_EQ(ktconGetNextChannelIdSize(handle(), &size), KX_OK);
        EXPECT_EQ(size, 4);
        EXPECT_EQ(ktconGetNextChannelId(handle(), buffer), 0);
        EXPECT_STREQ(buffer, "0,0");
        EXPECT_EQ(ktconGetNextChannelId(handle(), buffer), 1);
        EXPECT_STREQ(buffer, "0,2");
        std::strcpy(buffer, "keep");
        EXPECT_EQ(ktconGetNextChannelId(handle(), buffer), 1);
        EXPECT_STREQ(buffer, "keep");
    }
    // A failing walk keeps the ids read before it.
    kaltrop->recorder->failing = {"channel.IndexEx"};
    EXPECT_EQ(instance->InitChannelIdEnum(), KX_ERR_APP_CALL_FAILED);
    EXPECT_TRUE(instance->channelIds.empty());
}

TEST_F(Automation, StateFollowsRunModeAndMeasureMenu)
{
    connect();
    const struct {
        int32_t runMode, menuIndex, state;
    } cases[] = {{2, 1, 4}, {1, 1, 1}, {1, 2, 2}, {1, 3, 3}, {1, 4, 0}, {1, 0, 0}, {0, 2, 0}, {3, 2, 0}};
    for (const auto& c : cases) {
        kaltrop->runMode = c.runMode;
        kaltrop->menuIndex = c.menuIndex;
        kaltrop->recorder->clear();
        int state = -1;
        EXPECT_EQ(ktconGetState(handle(), &state), KX_OK);
        EXPECT_EQ(state, c.state) << c.runMode << "/" << c.menuIndex;
        const bool askedMenu = !kaltrop->recorder->linesStartingWith("app.MeasureMenuIndex").empty();
        EXPECT_EQ(askedMenu, c.runMode == 1);
    }
}

TEST_F(Automation, StartStopsARunningAcquisitionFirstAndConnectsListedChannels)
{
    addChannels(*kaltrop, 3);
    kaltrop->channels[0].shown = false;
    kaltrop->acqRunning = true;
    connect();
    ASSERT_EQ(instance->StartMeasurement(), KX_OK);
    const Lines app = kaltrop->recorder->linesStartingWith("app.");
    EXPECT_EQ(app, (Lines{"app.Data", "app.IsAcqRunning", "app.Stop()", "app.SetupScreen()", "app.Start()"}));
    EXPECT_EQ(kaltrop->recorder->linesStartingWith("channel[0,0].CreateConnection").size(), 0u);
    for (const char* id : {"[0,1]", "[0,2]"}) {
        const std::string connection = std::string("connection") + id;
        EXPECT_EQ(kaltrop->recorder->linesStartingWith(connection),
                  (Lines{connection + ".AType := UI2 3 named(-3)", connection + ".Start()"}));
    }

    kaltrop->recorder->clear();
    ASSERT_EQ(instance->StopMeasurement(), KX_OK);
    EXPECT_EQ(calls(), (Lines{"app.Stop()", "app.SetupScreen()"}));
    EXPECT_EQ(kaltrop->recorder->live, 1) << "the connections are released at stop";

    kaltrop->recorder->failing = {"app.Start"};
    EXPECT_EQ(instance->StartMeasurement(), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(ktconStartMeasurement(handle()), KX_ERR_APP_CALL_FAILED) << "a refused start is reported";
}

TEST_F(Automation, StoringSetupAndWindowRequests)
{
    connect();
    EXPECT_EQ(ktconStartStoring(handle(), ""), KX_OK);
    EXPECT_EQ(ktconStartStoring(handle(), "Messung-\xC3\xA4.dat"), KX_OK);
    EXPECT_EQ(ktconStopStoring(handle()), KX_OK);
    EXPECT_EQ(ktconLoadSetup(handle(), "C:\\setups\\rig.kts"), KX_OK);
    EXPECT_EQ(ktconSetAppWindowVisible(handle(), false), KX_OK);
    EXPECT_EQ(calls(),
              (Lines{"app.StartStoring(BSTR '')", "app.StartStoring(BSTR 'Messung-\xC3\xA4.dat')", "app.StopStoring()",
                     "app.LoadSetup(BSTR 'C:\\setups\\rig.kts')", "app.Visible := UI2 0 named(-3)"}));

    kaltrop->recorder->failing = {"app.StartStoring", "app.StopStoring", "app.LoadSetup", "app.IsAcqRunning"};
    EXPECT_EQ(ktconStartStoring(handle(), "x.dat"), KX_ERR_START_STORING);
    EXPECT_EQ(ktconStopStoring(handle()), KX_ERR_STOP_STORING);
    EXPECT_EQ(ktconLoadSetup(handle(), "x.kts"), KX_ERR_FAILED);
    bool running = true;
    EXPECT_EQ(ktconIsInAqusition(handle(), &running), KX_ERR_FAILED);
}

TEST_F(Automation, ChannelInstanceTakesItsRecordFromTheApplication)
{
    fake::FakeChannel sync = syncChannel({3, 0}, "Drehzahl \xC3\xBC");
    sync.unit = "1/min";
    sync.divider = 4;
    sync.control = true;
    fake::FakeChannel async = syncChannel({3, 1}, "Events");
    async.async = true;
    async.expectedAsyncRate = 12.5f;
    fake::FakeChannel single = syncChannel({3, 2}, "Setpoint");
    single.singleValue = true;
    kaltrop->channels = {sync, async, single};
    kaltrop->sampleRate = 2400;
    connect();

    // The id may carry a blank; it is kept as given.
    ::ChannelInstance* handle0 = open("3, 0");
    ASSERT_NE(handle0, nullptr);
    const ktremote::ChannelInstance& c0 = *channelOf(handle0);
    EXPECT_EQ(calls(),
              (Lines{"app.Data", "data.FindChannelByIndexEx(I4[3,0])", "channel[3,0].Name", "channel[3,0].Async",
                     "channel[3,0].Unit_", "channel[3,0].IsControlChannel", "channel[3,0].IsSingleValue",
                     "channel[3,0].CalcSRDiv", "data.SampleRate", "channel[3,0].GetSampleRate()"}));
    EXPECT_EQ(c0.requestedId, "3, 0");
    EXPECT_EQ(c0.name, "Drehzahl \xC3\xBC");
    EXPECT_EQ(c0.unit, "1/min");
    EXPECT_TRUE(c0.isControl);
    EXPECT_EQ(c0.sampleRateDivider, 4);
    EXPECT_EQ(c0.baseSampleRate, 2400.0);
    EXPECT_EQ(c0.sampleRate, 1000.0);
    EXPECT_EQ(c0.ordinal, 0);
    EXPECT_EQ(c0.owner, instance.get());

    kaltrop->recorder->clear();
    const ktremote::ChannelInstance& c1 = *channelOf(open("3,1"));
    EXPECT_TRUE(c1.isAsync);
    EXPECT_EQ(c1.expectedAsyncRate, 12.5);
    EXPECT_EQ(c1.sampleRate, -1.0);
    EXPECT_EQ(c1.unit, "");
    EXPECT_EQ(kaltrop->recorder->linesStartingWith("channel[3,1].GetSampleRate").size(), 0u);
    EXPECT_EQ(c1.ordinal, 1);

    // By name: found by "FindChannel", then created from its id.
    ::ChannelInstance* byName = nullptr;
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(handle(), "Setpoint", &byName), KX_OK);
    ASSERT_NE(byName, nullptr);
    channels.push_back(byName);
    EXPECT_EQ(channelOf(byName)->requestedId, "3,2");
    EXPECT_TRUE(channelOf(byName)->isSingleValue);
    EXPECT_EQ(instance->nextOrdinal, 3);
    ASSERT_EQ(instance->channels.size(), 3u);
    EXPECT_EQ(instance->channels[2].name, "Setpoint");
}

TEST_F(Automation, UnknownChannelsGiveNoHandle)
{
    kaltrop->channels = {syncChannel({0, 0}, "Speed")};
    connect();
    ::ChannelInstance* channel = nullptr;
    EXPECT_EQ(ktconCreateChannelInstance(handle(), "0,9", &channel), KX_ERR_CHANNEL_NOT_CREATED);
    EXPECT_EQ(channel, nullptr);
    EXPECT_EQ(ktconCreateChannelInstance(handle(), "", &channel), KX_ERR_CHANNEL_NOT_CREATED);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(handle(), "Torque", &channel), KX_ERR_CHANNEL_NOT_FOUND);
    EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(handle(), "", &channel), KX_ERR_CHANNEL_NOT_FOUND);
    EXPECT_EQ(instance->nextOrdinal, 0);
    kaltrop->recorder->failing = {"channel.Unit_"};
    EXPECT_EQ(ktconCreateChannelInstance(handle(), "0,0", &channel), KX_ERR_FAILED);
}

TEST_F(Automation, AfterDisconnectEverythingRefusesCleanly)
{
    kaltrop->channels = {syncChannel({0, 0}, "Speed")};
    connect();
    ::ChannelInstance* channel = open("0,0");
    ASSERT_EQ(instance->StartMeasurement(), KX_OK);
    EXPECT_EQ(ktconDisconnect(handle()), KX_OK);
    EXPECT_EQ(kaltrop->recorder->live, 0) << "the application and the connections are released";
    kaltrop->recorder->clear();

    size_t count = 9;
    bool running = false;
    int state = 7;
    EXPECT_EQ(instance->GetChannelCount(&count), KX_ERR_FAILED);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(ktconIsInAqusition(handle(), &running), KX_ERR_FAILED);
    EXPECT_EQ(ktconGetState(handle(), &state), KX_ERR_FAILED);
    EXPECT_EQ(ktconStartStoring(handle(), "x"), KX_ERR_START_STORING);
    EXPECT_EQ(ktconEndRead(handle()), KX_ERR_FAILED);
    EXPECT_EQ(instance->StartMeasurement(), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(instance->StopMeasurement(), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(instance->BeginRead(0, 0), KX_ERR_APP_CALL_FAILED);
    EXPECT_EQ(instance->InitChannelIdEnum(), KX_ERR_APP_CALL_FAILED);
    double values[4], times[4];
    size_t n = 4;
    EXPECT_EQ(ktconChannelReadScalarData_2(channel, values, times, &n), KX_ERR_APP_CALL_FAILED);
    // Not a control channel: refused before any call, connected or not.
    EXPECT_EQ(ktconControlChannelWriteData(channel, 1.0), KX_ERR_NOT_CONTROL_CHANNEL);
    EXPECT_EQ(ktconCreateChannelInstance(handle(), "0,0", &channel), KX_ERR_FAILED);
    EXPECT_TRUE(calls().empty());
}
