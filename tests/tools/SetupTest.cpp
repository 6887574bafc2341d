// SPDX-License-Identifier: MIT
// Setup files and the used-channel list, read back the way a host reads it.
#include "ChannelList.h"
#include "HostSide.h"
#include "SetupParser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(SetupTest, BuiltinSetupsOfferEveryChannelKind)
{
    ktsim::Setup setup = ktsim::loadSetup("builtin:default");
    std::set<std::pair<ktsim::ChannelKind, int>> kinds;
    bool control = false;
    for (const ktsim::Channel& ch : setup.channels) {
        kinds.insert({ch.kind, ch.dataType});
        control = control || ch.control;
    }
    using K = ktsim::ChannelKind;
    for (auto want : {std::pair{K::Sync, 7},
                      {K::Sync, 5},
                      {K::Sync, 2},
                      {K::Sync, 3},
                      {K::Sync, 4},
                      {K::Sync, 6},
                      {K::Sync, 0},
                      {K::Sync, 1},
                      {K::Sync, 8},
                      {K::Sync, 12},
                      {K::Async, 7},
                      {K::Async, 2},
                      {K::SingleValue, 4},
                      {K::SingleValue, 7}})
        EXPECT_TRUE(kinds.count(want)) << static_cast<int>(want.first) << " type " << want.second;
    EXPECT_TRUE(control);

    ktsim::Setup clean = ktsim::loadSetup("builtin:clean");
    EXPECT_EQ(clean.name, "clean");
    EXPECT_EQ(clean.channels.size(), setup.channels.size() - 4);
    for (const ktsim::Channel& ch : clean.channels) {
        EXPECT_TRUE(ktsim::hostLists(ch.dataType)) << ch.name;
        // Channels keep their numbers, so either setup predicts the same values.
        EXPECT_EQ(setup.findByName(ch.name)->number, ch.number);
    }

    ktsim::Setup bench = ktsim::loadSetup("builtin:bench64");
    ASSERT_EQ(bench.channels.size(), 64u);
    for (const ktsim::Channel& ch : bench.channels)
        EXPECT_EQ(ch.dataType, 5);
    EXPECT_THROW(ktsim::loadSetup("builtin:nope"), ktsim::SetupError);
}

TEST(SetupTest, EachLoadOfABuiltinIsItsOwnCopy)
{
    // Built-ins are parsed once; a caller that changes its copy (as the
    // simulator does with control values) must not change the next load.
    ktsim::Setup first = ktsim::loadSetup("builtin:clean");
    const std::string listed = ktsim::listReply(first);
    first.name = "changed";
    first.channels.front().scale1 = 99.0;
    first.channels.pop_back();

    ktsim::Setup second = ktsim::loadSetup("builtin:clean");
    EXPECT_EQ(second.name, "clean");
    EXPECT_EQ(ktsim::listReply(second), listed);
    EXPECT_EQ(ktsim::listReply(second), ktsim::listReply(ktsim::parseSetup(ktsim::builtinSetupText("clean"))));
    // An unknown name is not remembered as anything: it fails every time.
    EXPECT_THROW(ktsim::loadSetup("builtin:nope"), ktsim::SetupError);
    EXPECT_THROW(ktsim::loadSetup("builtin:nope"), ktsim::SetupError);
}

TEST(SetupTest, BuiltinsLoadFromSeveralThreadsAtOnce)
{
    // Simulators in one process (the tests, the fuzz targets) load built-ins
    // from their own threads; the first loads fill the shared cache.
    const std::vector<std::string> names = {"clean", "default"};
    std::vector<std::string> expected;
    for (const std::string& name : names)
        expected.push_back(ktsim::listReply(ktsim::parseSetup(ktsim::builtinSetupText(name))));

    std::vector<std::string> got(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back(
            [&, i] { got[i] = ktsim::listReply(ktsim::loadSetup("builtin:" + names[i % names.size()])); });
    for (std::thread& t : threads)
        t.join();
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], expected[i % names.size()]) << "thread " << i;
}

TEST(SetupTest, ExampleFilesParseAndMatchTheBuiltins)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KTSIM_SETUPS_DIR)) {
        ++files;
        std::string path = entry.path().string();
        ktsim::Setup setup;
        ASSERT_NO_THROW(setup = ktsim::loadSetup(path)) << path;
        EXPECT_FALSE(setup.channels.empty()) << path;
        std::string stem = entry.path().stem().string();
        for (const std::string& name : ktsim::builtinSetupNames()) {
            if (name == stem) {
                EXPECT_EQ(ktsim::listReply(setup), ktsim::listReply(ktsim::loadSetup("builtin:" + name))) << path;
            }
        }
    }
    EXPECT_GE(files, 4);
}

TEST(SetupTest, ReadsQuotesContinuationsAndComments)
{
    ktsim::Setup s = ktsim::parseSetup("setup \"My rig\"   # comment\n"
                                       "rate 2000\n"
                                       "\n"
                                       "channel name=\"Motor speed\" unit=\"1/min\" type=int32 scale1=0.5\n"
                                       "   kind=async rate=12.5 field7=\"a # b\"\n"
                                       "channel\n"
                                       "channel number=10 name=\"\" path=7;8 control=yes value=3 wave=sine\n"
                                       "channel\n");
    EXPECT_EQ(s.name, "My rig");
    EXPECT_EQ(s.rate, 2000.0);
    ASSERT_EQ(s.channels.size(), 4u);
    const ktsim::Channel& a = s.channels[0];
    EXPECT_EQ(a.name, "Motor speed");
    EXPECT_EQ(a.unit, "1/min");
    EXPECT_EQ(a.kind, ktsim::ChannelKind::Async);
    EXPECT_EQ(a.rate, 12.5);
    EXPECT_EQ(a.field7, "a # b");
    EXPECT_EQ(a.number, 1);
    EXPECT_EQ(a.path, "1");
    EXPECT_EQ(s.channels[1].name, "Channel2");
    EXPECT_EQ(s.channels[2].name, "");
    EXPECT_EQ(s.channels[2].wave.shape, ktsim::WaveShape::Constant); // control channels hold their value
    EXPECT_EQ(s.channels[3].number, 11);
}

TEST(SetupTest, RejectsMistakesWithTheirLine)
{
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"channel colour=red", "setup:1: unknown channel key 'colour'"},
        {"rate\n", "setup:1: 'rate' takes one value"},
        {"\nrate -5", "setup:2: 'rate' must be above 0 and at most 1e9"},
        {"channel type=3.5", "setup:1: 'type' needs a whole number from -1000 to 1000, not '3.5'"},
        {"channel kind=fast", "setup:1: 'kind' is sync, async or single, not 'fast'"},
        {"channel name=\"open", "setup:1: missing closing quote"},
        {"channel name=\"a\tb\"", "setup:1: 'name' must not contain tabs or line breaks"},
        {"channel number=2\nchannel number=2", "setup:2: channel number 2 is used twice"},
        {"channel unit", "setup:1: expected key=value, got 'unit'"},
        {"channel scale1=1,5", "setup:1: 'scale1' needs a number, not '1,5'"},
        {"frobnicate 1", "setup:1: unknown line 'frobnicate'"},
    };
    for (const Case& c : cases) {
        try {
            ktsim::parseSetup(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ktsim::SetupError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

// Every channel line, read with the host's rules, gives back the channel.
TEST(ChannelListTest, HostReadsBackEveryChannel)
{
    for (bool comma : {false, true}) {
        ktsim::Setup setup = ktsim::loadSetup("builtin:default");
        setup.decimalComma = comma;
        // Factors that need every digit: a host must read back the same doubles.
        setup.channels[2].scale1 = 0.1;
        setup.channels[2].offset1 = -1.0 / 3.0;
        setup.channels[2].scale2 = static_cast<float>(0.7);
        std::vector<hostside::HostChannel> host = hostside::parseList(ktsim::listReply(setup));
        ASSERT_EQ(host.size(), setup.channels.size());
        for (std::size_t i = 0; i < host.size(); ++i) {
            const ktsim::Channel& ch = setup.channels[i];
            const hostside::HostChannel& h = host[i];
            SCOPED_TRACE(ch.name);
            EXPECT_EQ(h.fieldCount, ch.dataType == 12 ? 21u : 20u);
            EXPECT_EQ(h.name, ch.name);
            EXPECT_EQ(h.unit, ch.unit);
            EXPECT_EQ(h.listIndex, std::to_string(ch.number));
            EXPECT_EQ(h.dataType, ch.dataType);
            EXPECT_EQ(h.control, ch.control);
            EXPECT_EQ(h.scale1, ch.scale1);
            EXPECT_EQ(h.offset1, ch.offset1);
            EXPECT_EQ(h.scale2, ch.scale2);
            EXPECT_EQ(h.offset2, ch.offset2);
            std::string id = "0," + ch.path;
            std::replace(id.begin(), id.end(), ';', ',');
            EXPECT_EQ(h.id, id);
            switch (ch.kind) {
            case ktsim::ChannelKind::Sync:
                EXPECT_EQ(h.kind, hostside::Sync);
                EXPECT_EQ(h.divider, ch.divider);
                EXPECT_EQ(h.rate, ktsim::channelRate(setup, ch));
                break;
            case ktsim::ChannelKind::Async:
                EXPECT_EQ(h.kind, hostside::Async);
                EXPECT_EQ(h.rate, ch.rate);
                break;
            case ktsim::ChannelKind::SingleValue: EXPECT_EQ(h.kind, hostside::Single); break;
            }
        }
    }
}

TEST(ChannelListTest, DataType12ShiftsTheFactorFields)
{
    ktsim::Setup setup = ktsim::parseSetup("channel name=P path=4;4 type=12 extra=99 field14=14 field15=15"
                                           " scale2=2 offset2=3 scale1=4 offset1=5\n");
    std::vector<std::string> f = hostside::splitTabs(ktsim::listLine(setup, setup.channels[0]));
    ASSERT_EQ(f.size(), 21u);
    EXPECT_EQ(f[13], "12");
    EXPECT_EQ(f[14], "99");
    EXPECT_EQ((std::vector<std::string>(f.begin() + 15, f.end())),
              (std::vector<std::string>{"14", "15", "2", "3", "4", "5"}));

    std::string reply = ktsim::listReply(ktsim::parseSetup(""));
    EXPECT_EQ(reply.substr(reply.find("\r\n") + 2), "+ETX end list\r\n");
}

} // namespace
