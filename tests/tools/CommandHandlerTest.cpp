// SPDX-License-Identifier: MIT
// Command handling and the application's state machine, without sockets.
#include "ChannelList.h"
#include "CommandHandler.h"
#include "Faults.h"
#include "LineFramer.h"
#include "Options.h"
#include "SetupParser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <unistd.h>
#include <sstream>

namespace {

struct RecordedTransfer : ktsim::TransferControl {
    std::string startTransfer(std::uint16_t p, const std::vector<int>& n) override
    {
        port = p;
        numbers = n;
        ++starts;
        return {};
    }
    void stopTransfer() override { ++stops; }
    std::uint16_t port = 0;
    std::vector<int> numbers;
    int starts = 0, stops = 0;
};

class CommandHandlerTest : public ::testing::Test {
protected:
    std::string send(const std::string& line)
    {
        auto reply = handler.handle(line);
        return reply ? reply->text : "(none)";
    }

    std::string tempPath(const std::string& name)
    {
        return ::testing::TempDir() + "ktsim_" + std::to_string(::getpid()) + "_" + name;
    }

    ktsim::Application app{ktsim::loadSetup("builtin:default"), 5};
    RecordedTransfer transfer;
    ktsim::CommandHandler handler{app, transfer};
};

TEST_F(CommandHandlerTest, AnswersEachCommandInTheFormHostsExamine)
{
    struct Case {
        const char* line;
        const char* reply;
    } cases[] = {
        {"SETMODE 1", "+OK\r\n"},
        {"GETSAMPLERATE", "+OK 1000\r\n"},
        {"ISMEASURING", "+OK No\r\n"},
        {"GETSTATUS", "+OK Setup\r\n"},
        {"SETTIMEOUT 0", "+OK\r\n"},
        {"GETTIMING", "+OK 1000 Hz\r\n"},
        {"STOPSTORE", "-ERR not storing\r\n"},
        {"STARTSTORE x.csv", "-ERR no acquisition is running\r\n"},
        {"LOADSETUP builtin:clean", "+OK Setup loaded\r\n"},
        {"LOADSETUP /no/such/file.kts", "-ERR cannot open setup file /no/such/file.kts\r\n"},
        {"NOSUCHCOMMAND", "-ERR unknown command 'NOSUCHCOMMAND'\r\n"},
        {"", "-ERR empty command\r\n"},
        {"setmode 1", "-ERR unknown command 'setmode'\r\n"},
        {"SETMODE", "-ERR SETMODE needs a mode number\r\n"},
        {"ISMEASURING now", "-ERR ISMEASURING takes no argument\r\n"},
        {"LISTUSEDCHS XY", "-ERR LISTUSEDCHS supports the format DW only\r\n"},
        {"STARTTRANSFER 0", "-ERR STARTTRANSFER needs a port from 1 to 65535\r\n"},
        {"STARTTRANSFER 8001x", "-ERR STARTTRANSFER needs a port from 1 to 65535\r\n"},
        {"/ETX", "-ERR unknown command '/ETX'\r\n"},
        {"/STX OTHER", "-ERR unknown block '/STX OTHER'\r\n"},
        {"EXIT", "+OK bye\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(send(c.line), c.reply) << c.line;
    EXPECT_TRUE(handler.handle("EXIT")->close);
    EXPECT_FALSE(handler.handle("GETSTATUS")->close);
}

TEST_F(CommandHandlerTest, StateQueriesFollowTheStateMachine)
{
    auto status = [&] { return send("GETSTATUS") + send("ISMEASURING"); };
    EXPECT_EQ(status(), "+OK Setup\r\n+OK No\r\n");
    EXPECT_EQ(send("STARTACQ"), "+OK\r\n");
    EXPECT_EQ(status(), "+OK Acquiring\r\n+OK Yes\r\n");
    EXPECT_EQ(send("STARTACQ"), "-ERR already acquiring\r\n");
    EXPECT_EQ(send("LOADSETUP builtin:clean"), "-ERR cannot load a setup while acquiring\r\n");

    std::string file = tempPath("store.csv");
    EXPECT_EQ(send("STARTSTORE " + file), "+OK Storing to " + file + "\r\n");
    EXPECT_TRUE(app.storing());
    EXPECT_EQ(send("STARTSTORE other.csv").substr(0, 4), "-ERR");
    EXPECT_EQ(status(), "+OK Acquiring\r\n+OK Yes\r\n");
    EXPECT_EQ(send("STOPSTORE"), "+OK Storing stopped\r\n");
    EXPECT_FALSE(app.storing());

    EXPECT_EQ(send("STOP"), "+OK\r\n");
    EXPECT_EQ(status(), "+OK Stopped\r\n+OK No\r\n");
    EXPECT_EQ(send("ENTERANALYSE"), "+OK\r\n");
    EXPECT_EQ(status(), "+OK Analyse\r\n+OK No\r\n");
    EXPECT_EQ(send("ENTERSETUP"), "+OK\r\n");
    EXPECT_EQ(status(), "+OK Setup\r\n+OK No\r\n");

    // STOP ends storing too; ENTERSETUP while acquiring stops first.
    send("STARTACQ");
    send("STARTSTORE " + file);
    send("STOP");
    EXPECT_FALSE(app.storing());
    send("STARTACQ");
    EXPECT_EQ(send("ENTERSETUP"), "+OK\r\n");
    EXPECT_EQ(status(), "+OK Setup\r\n+OK No\r\n");
    std::remove(file.c_str());
}

TEST_F(CommandHandlerTest, TransferBlockIsAnsweredOnceAfterEtx)
{
    EXPECT_EQ(send("/STX PREPARETRANSFER"), "(none)");
    EXPECT_EQ(send("CH 11"), "(none)");
    EXPECT_EQ(send("CH 1"), "(none)");
    EXPECT_EQ(send("/ETX"), "+OK 2 channels prepared\r\n");
    EXPECT_EQ(send("STARTTRANSFER 8001"), "+OK\r\n");
    EXPECT_EQ(transfer.port, 8001);
    EXPECT_EQ(transfer.numbers, (std::vector<int>{11, 1}));
    EXPECT_EQ(send("STOPTRANSFER"), "+OK\r\n");
    EXPECT_EQ(transfer.stops, 1);

    // An empty block is fine; a bad line spoils the block but still gets
    // exactly one reply, and keeps the earlier preparation.
    send("/STX PREPARETRANSFER");
    EXPECT_EQ(send("/ETX"), "+OK 0 channels prepared\r\n");
    send("/STX PREPARETRANSFER");
    send("CH 1");
    EXPECT_EQ(send("CH 999"), "(none)");
    EXPECT_EQ(send("CHANNEL 2"), "(none)");
    EXPECT_EQ(send("/ETX"), "-ERR no channel 999 in setup default\r\n");
    EXPECT_TRUE(handler.prepared().empty());

    // A setup loaded since (here by another connection) lacks the channel.
    send("/STX PREPARETRANSFER");
    send("CH 15");
    send("/ETX");
    app.loadSetup(ktsim::loadSetup("builtin:bench64"));
    EXPECT_EQ(send("STARTTRANSFER 8001"), "+OK\r\n"); // bench64 has a channel 15
    app.loadSetup(ktsim::parseSetup("channel number=1\n", "one"));
    EXPECT_EQ(send("STARTTRANSFER 8001"), "-ERR channel 15 is not in setup unnamed\r\n");
    EXPECT_EQ(handler.commandName("/STX PREPARETRANSFER"), "PREPARETRANSFER");
}

TEST_F(CommandHandlerTest, ControlValuesAreCheckedThenSet)
{
    const ktsim::Channel& setpoint = app.model()->channel("Setpoint");
    const ktsim::Channel& gain = app.model()->channel("Gain");
    EXPECT_EQ(send("SETCTRLCHANNELVALUES 3;2:2.5\\"), "+OK\r\n");
    EXPECT_EQ(app.controls().value(setpoint.number, 0), 2.5);
    EXPECT_EQ(send("SETCTRLCHANNELVALUES 3;2:-1e+20\\3;3:0.25\\"), "+OK\r\n");
    EXPECT_EQ(app.controls().value(setpoint.number, 0), -1e20);
    EXPECT_EQ(app.controls().value(gain.number, 0), 0.25);

    const char* refused[] = {
        "SETCTRLCHANNELVALUES 3;2:2.5",        // no backslash
        "SETCTRLCHANNELVALUES 3;2:abc\\",      // not a number
        "SETCTRLCHANNELVALUES 3;2:\\",         // no value
        "SETCTRLCHANNELVALUES 9;9:1\\",        // no such channel
        "SETCTRLCHANNELVALUES 1;1:1\\",        // not a control channel
        "SETCTRLCHANNELVALUES 3;3:7\\1;1:1\\", // second one bad: none is set
        "SETCTRLCHANNELVALUES 3;3:7\\3;2",     // trailing pair without backslash
    };
    for (const char* line : refused)
        EXPECT_EQ(send(line).substr(0, 5), "-ERR ") << line;
    EXPECT_EQ(app.controls().value(gain.number, 0), 0.25);
    EXPECT_EQ(app.controls().version(gain.number), 1u);
}

TEST_F(CommandHandlerTest, StoreFileHoldsEverySampleOfEveryChannel)
{
    std::string file = tempPath("samples.csv");
    auto t0 = ktsim::Application::Clock::now();
    app.startAcquisition(t0, 45000.0);
    app.startStore(file, t0);
    app.stopAcquisition(t0 + std::chrono::milliseconds(100));
    EXPECT_FALSE(app.storing());

    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line.rfind("# ktsim store of setup default", 0), 0u) << line;
    std::getline(in, line);
    EXPECT_EQ(line, "channel,name,index,time_s,value");
    std::map<std::string, int> rows;
    std::string voltageRow3;
    while (std::getline(in, line)) {
        std::string name = line.substr(line.find(',') + 1);
        name = name.substr(0, name.find(','));
        ++rows[name];
        if (name == "\"Voltage\"" && line.find(",3,") != std::string::npos)
            voltageRow3 = line;
    }
    const ktsim::SampleModel& model = *app.model();
    EXPECT_EQ(rows["\"Voltage\""], 100); // 1 kHz for 0.1 s
    EXPECT_EQ(rows["\"Pressure\""], 25);
    EXPECT_EQ(rows["\"Setpoint\""], 1);
    EXPECT_EQ(voltageRow3, "1,\"Voltage\",3,0.003," + ktsim::formatNumber(model.decoded(model.channel("Voltage"), 3)));
    std::remove(file.c_str());
}

TEST(LineFramerTest, FramesLinesWhateverThePieces)
{
    ktsim::LineFramer framer;
    std::string stream = "SETMODE 1\r\nGETSTATUS\n\r\nSETCTRLCHANNELVALUES 1:2\\\r\nPART";
    std::vector<std::string> lines;
    for (char c : stream) {
        framer.feed(&c, 1);
        while (auto line = framer.next())
            lines.push_back(*line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"SETMODE 1", "GETSTATUS", "", "SETCTRLCHANNELVALUES 1:2\\"}));

    // An endless line is reported once, then skipped up to its end.
    ktsim::LineFramer big;
    std::string junk(ktsim::LineFramer::maxLine + 10, 'x');
    big.feed(junk.data(), junk.size());
    bool overlong = false;
    auto first = big.next(&overlong);
    ASSERT_TRUE(first);
    EXPECT_TRUE(overlong);
    big.feed(junk.data(), junk.size());
    EXPECT_FALSE(big.next());
    big.feed("x\r\nOK\r\n", 7);
    EXPECT_EQ(big.next(&overlong).value_or("?"), "OK");
    EXPECT_FALSE(overlong);
}

TEST(FaultOptionsTest, ParsesEveryFaultAndRejectsMistakes)
{
    ktsim::FaultPlan plan =
        ktsim::parseFaults({"split-replies", "split-packets=7", "no-greeting", "close-on=GETSTATUS#2", "silent-on=STOP",
                            "error-on=LOADSETUP", "extra-after-reply=\\r\\nX", "extra-after=ISMEASURING:\\x00Z",
                            "garbage=5", "short-body=3", "block-past-body", "negative-count=2", "huge-count=4",
                            "coalesce=4", "second-data-connection"});
    EXPECT_EQ(plan.splitReplies, 2);
    EXPECT_EQ(plan.splitPackets, 7);
    EXPECT_TRUE(plan.noGreeting);
    ASSERT_EQ(plan.closeOn.size(), 1u);
    EXPECT_TRUE(plan.closeOn[0].matches("GETSTATUS", 2));
    EXPECT_FALSE(plan.closeOn[0].matches("GETSTATUS", 1));
    EXPECT_TRUE(plan.silentOn[0].matches("STOP", 5));
    ASSERT_EQ(plan.extraAfter.size(), 2u);
    EXPECT_EQ(plan.extraAfter[0].bytes, "\r\nX");
    EXPECT_EQ(plan.extraAfter[1].command, "ISMEASURING");
    EXPECT_EQ(plan.extraAfter[1].bytes, std::string("\0Z", 2));
    EXPECT_EQ(plan.garbageBytes, 5);
    ASSERT_EQ(plan.malformed.size(), 4u);
    EXPECT_EQ(plan.malformed[1].every, 10);
    EXPECT_EQ(plan.coalesce, 4);
    EXPECT_TRUE(plan.secondDataConnection);

    const char* bad[] = {"nonsense",  "close-on=",  "close-on=STOP#0", "split-replies=-1",       "no-greeting=1",
                         "garbage=x", "coalesce=0", "extra-after=",    "extra-after-reply=\\xZZ"};
    for (const char* faultText : bad)
        EXPECT_THROW(ktsim::parseFaults({faultText}), std::invalid_argument) << faultText;
}

TEST(OptionsTest, ParsesTheCommandLine)
{
    const char* argv[] = {"ktsim",
                          "--port",
                          "0",
                          "--bind=0.0.0.0",
                          "--setup",
                          "builtin:clean",
                          "--seed",
                          "42",
                          "--burst",
                          "--packet-ms",
                          "20",
                          "-v",
                          "--log",
                          "x.log",
                          "--fault",
                          "no-greeting",
                          "--exit-on-stdin-eof",
                          "--stamp-send-time"};
    ktsim::Options o = ktsim::parseOptions(static_cast<int>(std::size(argv)), argv);
    EXPECT_EQ(o.port, 0);
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_EQ(o.setup, "builtin:clean");
    EXPECT_EQ(o.seed.value_or(0), 42u);
    EXPECT_TRUE(o.burst && o.verbose && o.exitOnStdinEof && o.faults.noGreeting && o.stampSendTime);
    EXPECT_EQ(o.packetMs, 20);
    EXPECT_EQ(o.logFile, "x.log");

    std::vector<std::vector<const char*>> bad = {
        {"ktsim", "--port", "70000"},  {"ktsim", "--port"},    {"ktsim", "--packet-ms", "0"},
        {"ktsim", "--frobnicate"},     {"ktsim", "--burst=1"}, {"ktsim", "--stamp-send-time=1"},
        {"ktsim", "--fault", "bogus"},
    };
    for (const auto& args : bad)
        EXPECT_THROW(ktsim::parseOptions(static_cast<int>(args.size()), args.data()), std::invalid_argument) << args[1];
}

} // namespace
