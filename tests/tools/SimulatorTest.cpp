// SPDX-License-Identifier: MIT
// ktsim over real sockets: command sessions, the data stream and the faults.
#include "ChannelList.h"
#include "NetHarness.h"

#include <fstream>
#include <sstream>

namespace {

using namespace nettest;

// Lists the channels, transfers all of them and starts acquiring; returns the
// host's view of the transferred channels.
std::vector<hostside::HostChannel> startAll(Client& client, DataSink& sink)
{
    std::string list = client.command("LISTUSEDCHS DW");
    list += client.readUntil("+ETX end list\r\n");
    std::vector<hostside::HostChannel> channels = hostside::parseList(list);
    std::string block = "/STX PREPARETRANSFER\r\n";
    for (const auto& ch : channels)
        block += "CH " + ch.listIndex + "\r\n";
    block += "/ETX\r\n";
    client.write(block);
    EXPECT_EQ(client.line(), "+OK " + std::to_string(channels.size()) + " channels prepared\r\n");
    EXPECT_EQ(client.command("SETTIMEOUT 0"), "+OK\r\n");
    EXPECT_EQ(client.command("STARTTRANSFER " + sink.port()), "+OK\r\n");
    EXPECT_EQ(client.command("STARTACQ"), "+OK\r\n");
    return channels;
}

// Every decoded value of every non-control channel is the predicted one.
void expectPredicted(const ktsim::SampleModel& model, const hostside::Decoder& decoder,
                     const std::vector<hostside::HostChannel>& channels, std::size_t minimum)
{
    for (std::size_t b = 0; b < channels.size(); ++b) {
        const ktsim::Channel& ch = model.channel(channels[b].name);
        if (ch.control)
            continue;
        const hostside::Series& s = decoder.series(b);
        SCOPED_TRACE(ch.name);
        if (ch.kind == ktsim::ChannelKind::Sync && model.rate(ch) >= 100) {
            EXPECT_GE(s.values.size(), minimum);
        }
        for (std::size_t i = 0; i < s.values.size(); ++i) {
            ASSERT_EQ(s.values[i], model.decoded(ch, i)) << "sample " << i;
            if (ch.kind == ktsim::ChannelKind::Async) {
                ASSERT_EQ(s.times[i], model.timestamp(ch, i)) << "sample " << i;
            }
        }
    }
}

TEST(SimulatorTest, ServesAHostFromGreetingToExit)
{
    Harness sim;
    Client client(sim.endpoint());
    EXPECT_EQ(client.line(), "+OK ktsim ready\r\n");
    EXPECT_EQ(client.command("SETMODE 1"), "+OK\r\n");
    EXPECT_EQ(client.command("GETSTATUS"), "+OK Setup\r\n");
    EXPECT_EQ(client.command("GETSAMPLERATE"), "+OK 1000\r\n");
    EXPECT_EQ(client.command("BOGUS"), "-ERR unknown command 'BOGUS'\r\n");

    DataSink sink;
    auto channels = startAll(client, sink);
    EXPECT_EQ(client.command("ISMEASURING"), "+OK Yes\r\n");
    ASSERT_TRUE(sink.waitFor(4000));
    EXPECT_EQ(client.command("SETCTRLCHANNELVALUES 3;2:2.5\\"), "+OK\r\n");
    EXPECT_EQ(client.command("SETCTRLCHANNELVALUES 3;3:0.25\\"), "+OK\r\n");
    ASSERT_TRUE(sink.waitFor(12000));
    EXPECT_EQ(client.command("STOPTRANSFER"), "+OK\r\n");
    EXPECT_EQ(client.command("STOP"), "+OK\r\n");
    EXPECT_EQ(client.command("ENTERSETUP"), "+OK\r\n");
    sink.join(); // the data connection ends after STOPTRANSFER
    EXPECT_EQ(client.command("GETSTATUS"), "+OK Setup\r\n");
    EXPECT_EQ(client.command("EXIT"), "+OK bye\r\n");
    EXPECT_EQ(client.line(), "(closed)");

    hostside::Decoder decoder(channels);
    decoder.feed(sink.data());
    EXPECT_EQ(decoder.rejected, 0);
    EXPECT_EQ(decoder.pendingBytes(), 0u);
    const ktsim::SampleModel& model = *sim.sim->app().model();
    expectPredicted(model, decoder, channels, 10);

    // Control writes show up in the channels' streams.
    for (std::size_t b = 0; b < channels.size(); ++b) {
        if (channels[b].name == "Setpoint") {
            const auto& v = decoder.series(b).values;
            EXPECT_EQ(v, (std::vector<double>{1.5, 2.5}));
        }
        if (channels[b].name == "Gain") {
            const auto& v = decoder.series(b).values;
            ASSERT_FALSE(v.empty());
            EXPECT_EQ(v.back(), 0.25);
        }
    }
    // Packet time: the acquisition start, in days since 1899-12-30.
    double nowDays =
        25569.0 + std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() / 86400.0;
    EXPECT_NEAR(decoder.startDays, nowDays, 60.0 / 86400.0);
}

TEST(SimulatorTest, BurstStreamsAsFastAsTheHostReads)
{
    Harness sim({}, "builtin:bench64", true);
    Client client(sim.endpoint());
    client.line();
    DataSink sink;
    auto channels = startAll(client, sink);
    // 64 channels at 10 kHz: 4 MB are 0.4 s of measurement.
    ASSERT_TRUE(sink.waitFor(4u << 20));
    EXPECT_EQ(client.command("STOPTRANSFER"), "+OK\r\n");
    sink.join();
    hostside::Decoder decoder(channels);
    decoder.feed(sink.data());
    EXPECT_EQ(decoder.rejected, 0);
    // Burst packets cover --packet-ms each: 20 samples per channel.
    EXPECT_EQ(decoder.series(0).values.size(), 20u * decoder.packets);
    expectPredicted(*sim.sim->app().model(), decoder, channels, 4000);
}

TEST(SimulatorTest, InjectedStreamFaultsLoseNoSample)
{
    Harness sim({"garbage=7", "short-body=3", "block-past-body=4", "negative-count=5", "huge-count=6", "coalesce=2",
                 "split-packets=1"});
    Client client(sim.endpoint());
    client.line();
    DataSink sink;
    auto channels = startAll(client, sink);
    ASSERT_TRUE(sink.waitFor(20000));
    client.command("STOPTRANSFER");
    sink.join();
    hostside::Decoder decoder(channels);
    decoder.feed(sink.data());
    EXPECT_GT(decoder.packets, 10);
    EXPECT_GE(decoder.rejected, decoder.packets / 3);
    EXPECT_GT(decoder.garbage, 0u);
    expectPredicted(*sim.sim->app().model(), decoder, channels, 10);
    // Sequence numbers show that no packet went missing.
    for (int i = 0; i < decoder.packets; ++i)
        ASSERT_EQ(decoder.sequences[i], i);
}

TEST(SimulatorTest, SecondDataConnectionIsOpenedOnRequest)
{
    Harness sim({"second-data-connection"});
    Client client(sim.endpoint());
    client.line();
    DataSink sink(2);
    startAll(client, sink);
    ASSERT_TRUE(sink.waitFor(2000));
    client.command("STOPTRANSFER");
    sink.join();
    ASSERT_EQ(sink.connectionCount(), 2u);
    EXPECT_GT(sink.data(0).size() + sink.data(1).size(), 2000u);
    EXPECT_TRUE(sink.data(0).empty() || sink.data(1).empty());
}

TEST(SimulatorTest, CommandFaultsChangeOnlyWhatTheyName)
{
    {
        Harness sim({"split-replies=1", "no-greeting"});
        Client client(sim.endpoint());
        EXPECT_EQ(client.command("GETSTATUS"), "+OK Setup\r\n"); // no greeting before it
        std::string list = client.command("LISTUSEDCHS DW");
        list += client.readUntil("+ETX end list\r\n");
        EXPECT_EQ(list, ktsim::listReply(sim.sim->app().model()->setup()));
    }
    {
        Harness sim(
            {"close-on=GETSTATUS#2", "extra-after=ISMEASURING:XY", "error-on=LOADSETUP", "silent-on=GETTIMING"});
        Client client(sim.endpoint());
        client.line();
        EXPECT_EQ(client.command("ISMEASURING"), "+OK No\r\n");
        // The extra bytes lead the next reply.
        EXPECT_EQ(client.command("LOADSETUP builtin:clean"), "XY-ERR injected fault\r\n");
        client.write("GETTIMING\r\n");
        EXPECT_EQ(client.command("GETSTATUS"), "+OK Setup\r\n"); // GETTIMING unanswered
        EXPECT_EQ(client.command("GETSTATUS"), "(closed)");
    }
}

TEST(SimulatorTest, LogShowsEveryReceivedLine)
{
    std::string path = ::testing::TempDir() + "ktsim_log_" + std::to_string(::getpid()) + ".log";
    {
        Harness sim({}, "builtin:clean", false, path);
        Client client(sim.endpoint());
        client.line();
        client.command("SETMODE 1");
        client.command("SETCTRLCHANNELVALUES 3;2:1\\");
        client.write("GET\tSTATUS\x01\r\n");
        client.line();
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("#1 < SETMODE 1\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("#1 < SETCTRLCHANNELVALUES 3;2:1\\\n"), std::string::npos);
    EXPECT_NE(text.str().find("#1 < GET\\tSTATUS\\x01\n"), std::string::npos);
    std::remove(path.c_str());
}

} // namespace
