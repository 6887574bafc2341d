// SPDX-License-Identifier: MIT
// ktcli against ktsim: the table, a stream to CSV whose every cell is what
// ktsim sent, a control write, and how refusals are reported.

#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace ktremote::e2e {
namespace {

class KtcliTest : public ::testing::Test {
protected:
    Ktsim sim;
    ktsim::SampleModel model{ktsim::loadSetup("builtin:default"), Ktsim::seed};

    RunResult ktcli(std::vector<std::string> arguments, uint16_t dataPort = 8001)
    {
        arguments.insert(
            arguments.end(),
            {"--host", "127.0.0.1", "--port", std::to_string(sim.port()), "--data-port", std::to_string(dataPort)});
        return runToEnd(KTCLI_EXECUTABLE, arguments, ktcliLimit);
    }
};

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.emplace_back();
    return parts;
}

TEST_F(KtcliTest, ChannelsListsEveryChannelWithItsAttributes)
{
    const RunResult run = ktcli({"channels"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = split(run.out, '\n');
    ASSERT_EQ(lines.size(), 1u + 11u + 1u) << run.out; // header, channels, final empty piece
    auto words = [](const std::string& line) {
        std::vector<std::string> result;
        std::istringstream in(line);
        for (std::string word; in >> word;)
            result.push_back(word);
        return result;
    };
    EXPECT_EQ(words(lines[0]), (std::vector<std::string>{"ID", "NAME", "UNIT", "TYPE", "RATE", "CONTROL"}));
    EXPECT_EQ(words(lines[1]), (std::vector<std::string>{"0,1,1", "Voltage", "V", "sync", "1000", "no"}));
    EXPECT_EQ(words(lines[2]), (std::vector<std::string>{"0,1,2", "Current", "A", "sync", "500", "no"}));
    EXPECT_EQ(words(lines[7]), (std::vector<std::string>{"0,2,1", "Temperature", "degC", "async", "20", "no"}));
    EXPECT_EQ(words(lines[10]), (std::vector<std::string>{"0,3,2", "Setpoint", "V", "single", "-", "yes"}));
}

TEST_F(KtcliTest, StreamWritesEverySampleToTheCsvAndSummarises)
{
    const std::string csv = sim.dir().file("out.csv");
    const RunResult run = ktcli({"stream", "Voltage", "Temperature", "0,3,1", "--duration", "1", "--buffer-size",
                                 "100000", "--output", csv, "--quiet"},
                                freePort());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("dropped"), std::string::npos) << run.err;

    const std::vector<std::string> rows = split(readFile(csv), '\n');
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0],
              "Voltage time [s],Voltage [V],Temperature time [s],Temperature [degC],"
              "Mode time [s],Mode");
    // Each channel's cells, read down its two columns.
    const char* names[] = {"Voltage", "Temperature", "Mode"};
    std::vector<Reading> columns(3);
    for (size_t k = 0; k < 3; ++k)
        columns[k].model = &model.channel(names[k]);
    for (size_t r = 1; r + 1 < rows.size(); ++r) {
        const std::vector<std::string> cells = split(rows[r], ',');
        ASSERT_EQ(cells.size(), 6u) << rows[r];
        for (size_t k = 0; k < 3; ++k) {
            ASSERT_EQ(cells[2 * k].empty(), cells[2 * k + 1].empty()) << rows[r];
            if (cells[2 * k].empty())
                continue;
            columns[k].times.push_back(std::strtod(cells[2 * k].c_str(), nullptr));
            columns[k].values.push_back(std::strtod(cells[2 * k + 1].c_str(), nullptr));
        }
    }
    EXPECT_EQ(rows.back(), "");
    // About a second at 1 kHz, and everything ktsim sent until the stop.
    EXPECT_GE(columns[0].values.size(), 800u);
    for (const Reading& column : columns)
        expectExactDelivery(model, column, 0.0);

    // The summary: one line per channel with its count.
    EXPECT_NE(run.out.find("Voltage"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" " + std::to_string(columns[0].values.size()) + " "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("rows in " + csv), std::string::npos) << run.out;
}

TEST_F(KtcliTest, WriteSetsAControlValueThatTheStreamCarries)
{
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    std::vector<Reading> readings = openReadings(app, model, {"Gain"});
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);

    const RunResult run = ktcli({"write", "Gain", "-0.25"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote -0.25 to Gain\n");
    ASSERT_TRUE(readUntil(readings, [&] { return !readings[0].values.empty() && readings[0].values.back() == -0.25; }));
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
}

TEST_F(KtcliTest, RefusalsNameTheResultCodeAndFail)
{
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } cases[] = {
        {{"write", "Voltage", "1"}, 1, "KX_ERR_NOT_CONTROL_CHANNEL (-19)"},
        {{"load-setup", "/no/such/setup.kts"}, 1, "KX_ERR_SETUP_NOT_LOADED (-20)"},
        {{"store", "stop"}, 1, "KX_ERR_STOP_STORING (-30)"},
        {{"write", "NoSuchChannel", "1"}, 1, "KX_ERR_CHANNEL_NOT_FOUND (-1)"},
        {{"stream", "--duration", "x"}, 2, "--duration must be a finite number"},
    };
    for (const Case& c : cases) {
        const RunResult run = ktcli(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments[0] << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

TEST_F(KtcliTest, StateAndStoringFollowTheApplication)
{
    RunResult run = ktcli({"state"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "state      setup\nacquiring  no\n");

    // Another host acquires; ktcli stores inside that measurement.
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    openChannel(app, "Voltage");
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    run = ktcli({"store", "start", "cli.csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    run = ktcli({"store", "stop"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "storing stopped; state acquiring\n");
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
}

TEST_F(KtcliTest, OptionsMayStandBeforeTheCommand)
{
    const RunResult after = ktcli({"channels", "--format", "csv"});
    ASSERT_EQ(after.status, 0) << after.err;
    const RunResult before = ktcli({"--format", "csv", "channels"});
    ASSERT_EQ(before.status, 0) << before.err;
    EXPECT_EQ(before.out, after.out);
    EXPECT_EQ(before.out.rfind("\"id\",\"name\",", 0), 0u) << before.out;
    // An option the command does not take is refused wherever it stands.
    const RunResult foreign = ktcli({"--duration", "1", "state"});
    EXPECT_EQ(foreign.status, 2);
    EXPECT_NE(foreign.err.find("unknown option --duration"), std::string::npos) << foreign.err;
}

TEST(KtcliConnect, APortThatRefusesFailsAtOnceWithTheConnectsCode)
{
    // The library's own connect would poll for about 20 s.
    const uint16_t port = freePort();
    const auto started = std::chrono::steady_clock::now();
    const RunResult run = runToEnd(KTCLI_EXECUTABLE, {"--port", std::to_string(port), "state"}, ktcliLimit);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("no application answered at localhost:" + std::to_string(port) +
                           " (is it running, and is the port right?)"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("KX_ERR_NO_COMMAND_CONNECTION (-6)"), std::string::npos) << run.err;
    EXPECT_LT(took, std::chrono::seconds(12));
}

} // namespace
} // namespace ktremote::e2e
