// SPDX-License-Identifier: MIT
// ktcli stream as an unattended recorder against ktsim: how signals, a
// closed pipe, a running measurement, a lost application, a silent data
// port and lost samples end it, and the output that scripts read.

#include "Ktsim.h"
#include "KtremoteVersion.h"
#include "Streams.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <signal.h>

namespace ktremote::e2e {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

// The summary line of a channel, split into words: name, unit, count,
// lost, min, max, mean.
std::vector<std::string> summaryOf(const std::string& text, const std::string& channel)
{
    for (const std::string& line : lines(text)) {
        const std::vector<std::string> w = words(line);
        if (w.size() == 7 && w[0] == channel)
            return w;
    }
    return {};
}

// What an ended program wrote to its standard output and nobody read yet.
std::string rest(ChildProcess& process)
{
    std::string text;
    for (std::string line; !(line = process.readLine(5s)).empty();)
        text += line + "\n";
    return text;
}

// Waits until the file has at least `count` lines; false after the limit.
bool waitForLines(const std::string& path, size_t count, std::chrono::seconds limit = 60s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (lines(readFile(path)).size() >= count)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Runs /usr/bin/python3 with a program that reads `input` on its standard
// input; its standard output.
std::string python(const TempDir& dir, const std::string& program, const std::string& input)
{
    const std::string in = dir.file("python.in");
    std::ofstream(in) << input;
    const RunResult run = runToEnd("/bin/sh", {"-c", "/usr/bin/python3 -c '" + program + "' < " + in}, 60s);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

class KtcliRecorderTest : public ::testing::Test {
protected:
    Ktsim sim;

    std::vector<std::string> common(uint16_t dataPort) const
    {
        return {"--host", "127.0.0.1", "--port", std::to_string(sim.port()), "--data-port", std::to_string(dataPort)};
    }

    RunResult ktcli(std::vector<std::string> arguments)
    {
        const std::vector<std::string> options = common(freePort());
        arguments.insert(arguments.end(), options.begin(), options.end());
        return runToEnd(KTCLI_EXECUTABLE, arguments, ktcliLimit);
    }

    // A stream of Voltage for a minute into `csv`, in the background.
    std::unique_ptr<ChildProcess> startStream(const std::string& csv, std::vector<std::string> more = {})
    {
        std::vector<std::string> arguments = {"stream", "Voltage", "--duration", "60", "--output", csv, "--quiet"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        const std::vector<std::string> options = common(freePort());
        arguments.insert(arguments.end(), options.begin(), options.end());
        return std::make_unique<ChildProcess>(KTCLI_EXECUTABLE, arguments, sim.dir().file("ktcli.err"));
    }

    bool acquiring() { return e2e::acquiring(sim); }
};

// Every row of a Voltage CSV is whole: a time and a value, both numbers.
void expectWholeRows(const std::string& csv)
{
    const std::string text = readFile(csv);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> rows = lines(text);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0], "Voltage time [s],Voltage [V]");
    for (size_t r = 1; r < rows.size(); ++r) {
        const size_t comma = rows[r].find(',');
        ASSERT_NE(comma, std::string::npos) << rows[r];
        char* end = nullptr;
        std::strtod(rows[r].c_str(), &end);
        EXPECT_EQ(end, rows[r].c_str() + comma) << rows[r];
        std::strtod(rows[r].c_str() + comma + 1, &end);
        EXPECT_EQ(*end, '\0') << rows[r];
    }
}

TEST_F(KtcliRecorderTest, EverySignalStopsTheMeasurementAndFinishesTheRecording)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const std::string csv = sim.dir().file("signal" + std::to_string(signal) + ".csv");
        const auto cli = startStream(csv);
        ASSERT_TRUE(waitForLines(csv, 50));
        ASSERT_EQ(::kill(cli->pid(), signal), 0);
        EXPECT_EQ(cli->wait(30s), 0) << readFile(sim.dir().file("ktcli.err"));
        EXPECT_FALSE(acquiring());
        expectWholeRows(csv);
        const std::string summary = rest(*cli);
        const std::vector<std::string> voltage = summaryOf(summary, "Voltage");
        ASSERT_EQ(voltage.size(), 7u) << summary;
        EXPECT_EQ(voltage[2], std::to_string(lines(readFile(csv)).size() - 1));
    }
}

TEST_F(KtcliRecorderTest, AClosedPipeStopsTheMeasurementAndTheSummaryGoesToStderr)
{
    std::string command = KTCLI_EXECUTABLE;
    for (const std::string& word : common(freePort()))
        command += " " + word;
    const std::string status = sim.dir().file("status");
    const RunResult run = runToEnd(
        "/bin/bash",
        {"-c",
         command + " stream Voltage --duration 60 --quiet | head -n 3 >/dev/null; echo ${PIPESTATUS[0]} >" + status},
        ktcliLimit);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(status), "0\n") << run.err;
    EXPECT_NE(run.err.find("the reader of the output went away"), std::string::npos) << run.err;
    EXPECT_EQ(summaryOf(run.err, "Voltage").size(), 7u) << run.err;
    // The library's line about the data connection comes before the
    // summary, where it happened, not at ktcli's exit.
    const size_t connection = run.err.find("Connection from: 127.0.0.1\n");
    ASSERT_NE(connection, std::string::npos) << run.err;
    EXPECT_LT(connection, run.err.find("the reader of the output went away")) << run.err;
    EXPECT_FALSE(acquiring());
}

TEST_F(KtcliRecorderTest, ASignalWhileConnectingEndsKtcliAtOnce)
{
    // A peer that accepts and never greets keeps the connect waiting.
    asio::io_context context;
    asio::ip::tcp::acceptor silent(context, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    ChildProcess cli(KTCLI_EXECUTABLE,
                     {"state", "--host", "127.0.0.1", "--port", std::to_string(silent.local_endpoint().port())},
                     sim.dir().file("connect.err"));
    asio::ip::tcp::socket peer(context);
    silent.accept(peer);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(cli.pid(), SIGINT), 0);
    EXPECT_EQ(cli.wait(10s), 128 + SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s);
    EXPECT_NE(readFile(sim.dir().file("connect.err")).find("ktcli: interrupted"), std::string::npos);
}

TEST_F(KtcliRecorderTest, ARunningMeasurementIsTakenOverOnlyWithForce)
{
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    const ChannelHandle voltage = openChannel(app, "Voltage");
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    const size_t linesBefore = sim.receivedLines().size();

    RunResult run = ktcli({"stream", "Voltage", "--duration", "0.2", "--quiet"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("ktcli stream: the application is already measuring; `ktcli stop` ends that "
                           "measurement, or use --force\n"),
              std::string::npos)
        << run.err;
    // ktcli asked, and sent nothing that stops or starts anything.
    const std::vector<std::string> received = sim.receivedLines();
    for (size_t k = linesBefore; k < received.size(); ++k)
        EXPECT_EQ(received[k].find("STOP"), std::string::npos) << received[k];
    bool running = false;
    ASSERT_EQ(ktconIsInAqusition(app, &running), KX_OK);
    EXPECT_TRUE(running);

    run = ktcli(
        {"stream", "Voltage", "--duration", "0.5", "--quiet", "--force", "--output", sim.dir().file("forced.csv")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(acquiring());
    ktconDisconnect(app);
    ktconDestroyInstance(app);
}

TEST_F(KtcliRecorderTest, StopEndsSomeoneElsesMeasurement)
{
    ::KTXInstance* app = connectFast(sim.connectText(freePort()));
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    const ChannelHandle voltage = openChannel(app, "Voltage");
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);
    const RunResult run = ktcli({"stop"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "measurement stopped\n");
    EXPECT_FALSE(acquiring());
    ktconDisconnect(app);
    ktconDestroyInstance(app);
}

TEST_F(KtcliRecorderTest, CommonOptionsStandBeforeOrAfterTheCommand)
{
    const std::vector<std::string> options = common(freePort());
    std::vector<std::string> before = options;
    before.insert(before.end(), {"state", "--format", "json"});
    std::vector<std::string> around = {options[0], options[1], "state", options[2], options[3], "--format=json"};
    for (const auto& arguments : {before, around}) {
        const RunResult run = runToEnd(KTCLI_EXECUTABLE, arguments, ktcliLimit);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "{\"state\": \"setup\", \"code\": 1, \"acquiring\": false}\n");
    }
    const RunResult version = runToEnd(KTCLI_EXECUTABLE, {"--port", "1", "--version"}, ktcliLimit);
    EXPECT_EQ(version.status, 0);
    const std::string text = ktremote::versionText;
    EXPECT_EQ(version.out, "ktcli " + text + " (library " + text + ")\n");
    const RunResult unknown = runToEnd(KTCLI_EXECUTABLE, {"--port", "1", "--colour", "state"}, ktcliLimit);
    EXPECT_EQ(unknown.status, 2) << unknown.err;
}

TEST_F(KtcliRecorderTest, ChannelListsParseAsJsonAndCsv)
{
    RunResult run = ktcli({"channels", "--format", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string parsed = python(sim.dir(),
                                      "import json, sys\n"
                                      "for c in json.load(sys.stdin):\n"
                                      "    print(c[\"id\"], c[\"name\"], repr(c[\"unit\"]), c[\"type\"], "
                                      "c[\"sampleRate\"], c[\"control\"])\n",
                                      run.out);
    const std::vector<std::string> rows = lines(parsed);
    ASSERT_EQ(rows.size(), 11u) << parsed;
    EXPECT_EQ(rows[0], "0,1,1 Voltage 'V' sync 1000 False");
    EXPECT_EQ(rows[5], "0,1,6 Ticks '' sync 10 False");
    EXPECT_EQ(rows[8], "0,3,1 Mode '' single None False");
    EXPECT_EQ(rows[9], "0,3,2 Setpoint 'V' single None True");

    run = ktcli({"channels", "--format", "csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string csv = python(sim.dir(),
                                   "import csv, sys\n"
                                   "for row in csv.reader(sys.stdin):\n"
                                   "    print(\"|\".join(row))\n",
                                   run.out);
    const std::vector<std::string> csvRows = lines(csv);
    ASSERT_EQ(csvRows.size(), 12u) << csv;
    EXPECT_EQ(csvRows[0], "id|name|unit|type|sampleRate|control");
    EXPECT_EQ(csvRows[9], "0,3,1|Mode||single||no");

    // In the table an empty unit keeps its column.
    run = ktcli({"channels"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const std::string& line : lines(run.out))
        EXPECT_EQ(words(line).size(), 6u) << line;

    run = ktcli({"channels", "--format", "xml"});
    EXPECT_EQ(run.status, 2);
}

TEST_F(KtcliRecorderTest, LostSamplesAreCountedAndGiveStatusThree)
{
    const std::string csv = sim.dir().file("loss.csv");
    RunResult run = ktcli(
        {"stream", "Voltage", "Temperature", "--duration", "1", "--buffer-size", "5", "--output", csv, "--quiet"});
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_NE(run.err.find("samples were lost"), std::string::npos) << run.err;
    const std::vector<std::string> voltage = summaryOf(run.out, "Voltage");
    ASSERT_EQ(voltage.size(), 7u) << run.out;
    // What arrived and what was lost add up to the place of the last sample.
    double lastTime = -1.0;
    for (const std::string& row : lines(readFile(csv))) {
        if (!row.empty() && row[0] != ',' && row[0] != 'V')
            lastTime = std::strtod(row.c_str(), nullptr);
    }
    const long count = std::stol(voltage[2]);
    ASSERT_NE(voltage[3], "some") << run.out;
    const long lost = std::stol(voltage[3]);
    EXPECT_GT(lost, 0);
    EXPECT_EQ(count + lost, std::lround(lastTime * 1000.0) + 1) << run.out;

    run = ktcli({"stream", "Voltage", "--duration", "0.5", "--buffer-size", "5", "--quiet", "--allow-loss", "--output",
                 sim.dir().file("allowed.csv")});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(KtcliRecorderTest, ALostApplicationEndsTheStreamWithWhatArrived)
{
    const std::string csv = sim.dir().file("lost.csv");
    const auto cli = startStream(csv);
    ASSERT_TRUE(waitForLines(csv, 50));
    ASSERT_EQ(::kill(sim.pid(), SIGKILL), 0);
    EXPECT_EQ(cli->wait(60s), 1);
    const std::string err = readFile(sim.dir().file("ktcli.err"));
    EXPECT_NE(err.find("ktcli stream: the application closed the connection"), std::string::npos) << err;
    expectWholeRows(csv);
    const std::string summary = rest(*cli);
    EXPECT_EQ(summaryOf(summary, "Voltage").size(), 7u) << summary;
}

} // namespace

TEST(KtcliNothingArrives, ASilentStreamFailsAndPointsAtTheDataPort)
{
    TempDir dir;
    const std::string setup = dir.file("slow.kts");
    // One channel whose first sample is due after 100 s.
    std::ofstream(setup) << "setup slow\nrate 1000\n"
                            "channel number=1 name=Slow unit=V path=1;1 kind=sync divider=100000 type=float64\n"
                            "    wave=constant value=1\n";
    Ktsim sim({"--setup", setup});
    const RunResult run =
        runToEnd(KTCLI_EXECUTABLE,
                 {"stream", "--duration", "0.5", "--quiet", "--output", dir.file("none.csv"), "--host", "127.0.0.1",
                  "--port", std::to_string(sim.port()), "--data-port", std::to_string(freePort())},
                 ktcliLimit);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("no samples arrived; is data port"), std::string::npos) << run.err;
}

} // namespace ktremote::e2e
