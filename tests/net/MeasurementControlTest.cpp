// SPDX-License-Identifier: MIT
// Measurement control of a network instance against a scripted application:
// the replies each operation accepts, the exact bytes it sends, and the
// result of every step of a start that fails.

#include "ChannelLines.h"
#include "NetTestSupport.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <map>

namespace ktremote::test {
namespace {

// A list with a synchronous channel (number 3), an asynchronous one (17)
// and a single value (5), in this order.
std::vector<Line> threeChannels()
{
    return {
        Line().id("1").name("Sync").set(2, "3"),
        Line().id("2").name("Async").set(2, "17").set(10, "Async"),
        Line().id("3").name("Single").set(2, "5").set(10, "SingleValue"),
    };
}

// The application: answers the list, replies once to a transfer block (after
// "/ETX"), takes the replies in `replies` and answers "+OK" otherwise (a rate
// of 1000 to "GETSAMPLERATE"). With
// `closeAt`, it closes the connection instead of answering the first command
// that starts with that text.
ScriptedPeer::Script application(std::vector<Line> lines, std::map<std::string, std::string> replies,
                                 std::string closeAt = {})
{
    return [lines = std::move(lines), replies = std::move(replies), closeAt](Session& session) {
        greet(session);
        const std::string list = listReply(lines);
        for (;;) {
            std::string line = session.readLine();
            if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
                return;
            line.resize(line.size() - 2);
            if (!closeAt.empty() && line.compare(0, closeAt.size(), closeAt) == 0)
                return;
            if (line == "/STX PREPARETRANSFER" || line.compare(0, 3, "CH ") == 0)
                continue;
            const auto found = replies.find(line);
            if (found != replies.end())
                session.send(found->second);
            else if (line == "LISTUSEDCHS DW")
                session.send(list);
            else
                session.send(line == "GETSAMPLERATE" ? "+OK 1000\r\n" : "+OK\r\n");
        }
    };
}

// A network instance connected to a scripted application, listening for
// data on a free port.
struct App {
    explicit App(ScriptedPeer::Script script, std::string port = freeDataPort())
        : dataPort(std::move(port)), peer(std::move(script)), instance(std::make_unique<TestNetInstance>())
    {
        const std::string text = "127.0.0.1 " + std::to_string(peer.port()) + " " + dataPort;
        EXPECT_EQ(instance->Connect(text.c_str()), KX_OK);
    }

    void refresh() { instance->RefreshChannelList(); }

    void markAll()
    {
        for (ChannelRecord& record : instance->channels)
            instance->SetTransferredById(record.id, true);
    }

    // Everything sent after connecting and fetching the list.
    std::string sent()
    {
        instance.reset();
        std::string all = peer.received();
        for (const char* prefix : {"SETMODE 1\r\n", "LISTUSEDCHS DW\r\n"})
            if (all.compare(0, std::string(prefix).size(), prefix) == 0)
                all.erase(0, std::string(prefix).size());
        return all;
    }

    std::string dataPort;
    ScriptedPeer peer;
    std::unique_ptr<TestNetInstance> instance;
};

TEST(MeasurementControl, StatusRepliesAreClassifiedByTheFirstWordOfTheList)
{
    const struct {
        const char* reply;
        int state;
    } cases[] = {
        {"+OK Setup\r\n", KX_STATE_SETUP},
        {"+OK Acquiring\r\n", KX_STATE_ACQUIRING},
        {"+OK Stopped\r\n", KX_STATE_STOPPED},
        {"+OK Analyse\r\n", KX_STATE_ANALYSIS},
        {"+OK Setup, then Acquiring\r\n", KX_STATE_ACQUIRING},
        {"+OK Stopped Acquiring Setup Analyse\r\n", KX_STATE_ANALYSIS},
        {"+OKSetup", KX_STATE_SETUP},
        {"+OK setup\r\n", KX_STATE_UNKNOWN},
        {"+OK\r\n", KX_STATE_UNKNOWN},
        {"-ERR Acquiring\r\n", KX_STATE_UNKNOWN},
        {" +OK Acquiring\r\n", KX_STATE_UNKNOWN},
        {"+O", KX_STATE_UNKNOWN},
        {"", KX_STATE_UNKNOWN},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KTXNETInstance::ClassifyStatusReply(c.reply), c.state) << c.reply;
}

TEST(MeasurementControl, RepliesAreComparedExactly)
{
    // command -> reply, and what the operation makes of it.
    const struct {
        const char* reply;
        bool acquiring;
        int loadSetup;
        int startStoring;
        int stopStoring;
    } cases[] = {
        {"+OK Yes\r\n", true, KX_ERR_SETUP_NOT_LOADED, KX_OK, KX_OK},
        {"+OK Setup loaded\r\n", false, KX_OK, KX_OK, KX_OK},
        {"+OK\r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_OK, KX_OK},
        {"+OK yes\r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_OK, KX_OK},
        {"+OK Yes \r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_OK, KX_OK},
        {"+OK Setup loaded.\r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_OK, KX_OK},
        {"-ERR no\r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_ERR_START_STORING, KX_ERR_STOP_STORING},
        {"+O\r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_ERR_START_STORING, KX_ERR_STOP_STORING},
        {"ok\r\n", false, KX_ERR_SETUP_NOT_LOADED, KX_ERR_START_STORING, KX_ERR_STOP_STORING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        App app(application({},
                            {{"ISMEASURING", c.reply},
                             {"LOADSETUP s.kts", c.reply},
                             {"STARTSTORE f.dat", c.reply},
                             {"STOPSTORE", c.reply}}));
        bool acquiring = !c.acquiring;
        EXPECT_EQ(app.instance->IsInAcquisition(&acquiring), KX_OK);
        EXPECT_EQ(acquiring, c.acquiring);
        EXPECT_EQ(app.instance->LoadSetup("s.kts"), c.loadSetup);
        if (c.loadSetup != KX_OK) {
            EXPECT_EQ(app.instance->lastFailure.text(), "the application did not confirm that it loaded the setup");
        }
        EXPECT_EQ(app.instance->StartStoring("f.dat"), c.startStoring);
        if (c.startStoring != KX_OK) {
            EXPECT_EQ(app.instance->lastFailure.text(), "the application refused to start storing");
        }
        EXPECT_EQ(app.instance->StopStoring(), c.stopStoring);
        if (c.stopStoring != KX_OK) {
            EXPECT_EQ(app.instance->lastFailure.text(), "the application refused to stop storing");
        }
    }
}

TEST(MeasurementControl, NamesGoOutUnchangedOrNotAtAll)
{
    App app(application({}, {}));
    TestNetInstance& instance = *app.instance;
    EXPECT_EQ(instance.LoadSetup("C:\\setups\\my rig.kts"), KX_ERR_SETUP_NOT_LOADED);
    EXPECT_EQ(instance.StartStoring("run 1.dat"), KX_OK);
    EXPECT_EQ(instance.StartStoring(""), KX_OK);
    // Refused before anything is sent: a vertical bar, and line breaks that
    // would turn the rest of the name into commands of their own.
    EXPECT_EQ(instance.StartStoring("a|b"), KX_ERR_START_STORING);
    EXPECT_EQ(instance.StartStoring("a\r\nSTOP"), KX_ERR_START_STORING);
    EXPECT_EQ(instance.StartStoring("a\nSTOP"), KX_ERR_START_STORING);
    EXPECT_EQ(instance.StartStoring(nullptr), KX_ERR_START_STORING);
    EXPECT_EQ(instance.lastFailure.text(), "the storing file name holds a '|' or a line break");
    EXPECT_EQ(instance.LoadSetup("x.kts\rSTARTACQ"), KX_ERR_SETUP_NOT_LOADED);
    EXPECT_EQ(instance.LoadSetup("x.kts\nSTARTACQ"), KX_ERR_SETUP_NOT_LOADED);
    EXPECT_EQ(instance.lastFailure.text(), "the setup file name holds a line break");
    // Nothing to send for these.
    EXPECT_EQ(instance.SetAppWindowVisible(true), KX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(instance.BeginRead(1, 2), KX_OK);
    EXPECT_EQ(instance.EndRead(), KX_OK);
    EXPECT_EQ(instance.StopStoring(), KX_OK);
    EXPECT_EQ(app.sent(),
              "LOADSETUP C:\\setups\\my rig.kts\r\n"
              "STARTSTORE run 1.dat\r\n"
              "STARTSTORE\r\n"
              "STOPSTORE\r\n");
}

TEST(MeasurementControl, StartSendsTheTransferredChannelsInListOrder)
{
    App app(application(threeChannels(), {}));
    app.refresh();
    // Marked out of list order; the single value stays out.
    app.instance->SetTransferredById("0,2", true);
    app.instance->SetTransferredById("0,1", true);
    EXPECT_EQ(app.instance->StartMeasurement(), KX_OK);
    // The synchronous channel's buffer asks for its rate (the record has no
    // owner: it was marked without a handle).
    EXPECT_EQ(app.sent(),
              "ISMEASURING\r\n"
              "GETTIMING\r\n"
              "/STX PREPARETRANSFER\r\nCH 3\r\nCH 17\r\n/ETX\r\n"
              "SETTIMEOUT 0\r\n"
              "GETSAMPLERATE\r\n"
              "STARTTRANSFER " +
                  app.dataPort + "\r\n" + "STARTACQ\r\n");
}

TEST(MeasurementControl, StartWithoutChannelsStillStartsTheTransfer)
{
    App app(application(threeChannels(), {{"ISMEASURING", "+OK Yes\r\n"}}));
    app.refresh();
    EXPECT_EQ(app.instance->StartMeasurement(), KX_OK);
    // The application acquired, so its measurement is stopped first.
    EXPECT_EQ(app.sent(),
              "ISMEASURING\r\n"
              "STOPTRANSFER\r\nSTOP\r\nENTERSETUP\r\n"
              "GETTIMING\r\n"
              "/STX PREPARETRANSFER\r\n/ETX\r\n"
              "SETTIMEOUT 0\r\n"
              "STARTTRANSFER " +
                  app.dataPort + "\r\n" + "STARTACQ\r\n");
}

TEST(MeasurementControl, ChannelNumbersAreReadAsDecimalIntegers)
{
    const struct {
        const char* listIndex;
        const char* line; // empty: the start fails at the numbers
    } cases[] = {
        {" +17abc", "CH 17"}, {"-4", "CH -4"}, {"2147483647", "CH 2147483647"},
        {"2147483648", ""},   {"x1", ""},      {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listIndex);
        App app(application({Line().id("1").name("A").set(2, c.listIndex)}, {}));
        app.refresh();
        app.markAll();
        const int result = app.instance->StartMeasurement();
        const std::string sent = app.sent();
        if (*c.line == '\0') {
            EXPECT_EQ(result, KX_ERR_START_STEP2);
            EXPECT_EQ(sent, "ISMEASURING\r\n");
        } else {
            EXPECT_EQ(result, KX_OK);
            EXPECT_NE(sent.find(std::string("\r\n") + c.line + "\r\n/ETX\r\n"), std::string::npos) << sent;
        }
    }
}

TEST(MeasurementControl, AFailingStepEndsTheStartWithItsCode)
{
    // The application closes the connection instead of answering the named
    // command; the commands after it are never sent. The failure's text is
    // the closed connection, or the step that a closed connection failed.
    const char* closed = "the command connection is closed";
    const struct {
        const char* closeAt;
        const char* acquiring;
        int result;
        const char* failure;
    } cases[] = {
        {"ISMEASURING", "+OK No\r\n", KX_ERR_START_STEP1, closed},
        {"STOPTRANSFER", "+OK Yes\r\n", KX_ERR_START_STEP1, closed},
        {"ENTERSETUP", "+OK Yes\r\n", KX_ERR_START_STEP1, closed},
        {"GETTIMING", "+OK No\r\n", KX_ERR_START_STEP3, closed},
        {"/ETX", "+OK No\r\n", KX_ERR_START_STEP4, closed},
        {"SETTIMEOUT", "+OK No\r\n", KX_ERR_START_STEP4, closed},
        {"GETSAMPLERATE", "+OK No\r\n", KX_ERR_START_STEP4, "the sample rate of a channel is unknown"},
        {"STARTTRANSFER", "+OK No\r\n", KX_ERR_START_STEP5, closed},
        {"STARTACQ", "+OK No\r\n", KX_ERR_START_STEP6, closed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.closeAt);
        App app(application(threeChannels(), {{"ISMEASURING", c.acquiring}}, c.closeAt));
        app.refresh();
        app.markAll();
        EXPECT_EQ(app.instance->StartMeasurement(), c.result);
        EXPECT_EQ(app.instance->lastFailure.text(), c.failure);
        const std::string sent = app.sent();
        const size_t at = sent.find(c.closeAt);
        ASSERT_NE(at, std::string::npos) << sent;
        const size_t end = sent.find("\r\n", at);
        EXPECT_EQ(end + 2, sent.size()) << "sent after the failure: " << sent;
    }
}

TEST(MeasurementControl, AReceiverThatCannotBeSetUpStopsTheStartBeforeTheTransfer)
{
    asio::io_context context;
    asio::ip::tcp::acceptor taken(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
    const std::string takenPort = std::to_string(taken.local_endpoint().port());
    const struct {
        const char* what;
        std::string dataPort;
        std::string rateReply;
        const char* failure;
    } cases[] = {
        {"data port in use", takenPort, "+OK 1000\r\n",
         "the data port cannot be bound: another program may be listening on it"},
        {"no sample rate", freeDataPort(), "-ERR no rate\r\n", "the sample rate of a channel is unknown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        App app(application(threeChannels(), {{"GETSAMPLERATE", c.rateReply}}), c.dataPort);
        app.refresh();
        app.markAll();
        EXPECT_EQ(app.instance->StartMeasurement(), KX_ERR_START_STEP4);
        EXPECT_EQ(app.instance->lastFailure.text(), c.failure);
        const std::string sent = app.sent();
        EXPECT_NE(sent.find("SETTIMEOUT 0\r\n"), std::string::npos) << sent;
        EXPECT_EQ(sent.find("STARTTRANSFER"), std::string::npos) << sent;
    }
}

TEST(MeasurementControl, StopSendsItsCommandsAndNeedsTheCommandConnection)
{
    TestNetInstance never;
    EXPECT_EQ(never.StopMeasurement(), KX_ERR_NO_COMMAND_CONNECTION);
    EXPECT_EQ(never.lastFailure.text(), "there is no command connection");

    App app(application(threeChannels(), {}));
    app.refresh();
    app.markAll();
    ASSERT_EQ(app.instance->StartMeasurement(), KX_OK);
    EXPECT_EQ(app.instance->StopMeasurement(), KX_OK);
    // A second stop finds the listener closed already and is harmless.
    EXPECT_EQ(app.instance->StopMeasurement(), KX_OK);
    const std::string sent = app.sent();
    const std::string stop = "STOPTRANSFER\r\nSTOP\r\nENTERSETUP\r\n";
    EXPECT_EQ(sent.substr(sent.size() - 2 * stop.size()), stop + stop);
}

// After Disconnect the command connection is closed: the stop cannot send
// and reports the failure (-2). After a later connect that found no command
// connection there is none at all: the stop refuses (-6) and sends nothing.
TEST(MeasurementControl, StopAfterDisconnectFailsAndAfterAFailedConnectRefuses)
{
    App app(application(threeChannels(), {}));
    ::KTXInstance* handle = handleOf(app.instance.get());
    ASSERT_EQ(ktconDisconnect(handle), KX_OK);
    EXPECT_EQ(ktconStopMeasurement(handle), KX_ERR_FAILED);

    asio::io_context context;
    asio::ip::tcp::socket refusing(context); // bound, not listening
    refusing.open(asio::ip::tcp::v4());
    refusing.bind({asio::ip::make_address("127.0.0.1"), 0});
    const std::string text = "127.0.0.1 " + std::to_string(refusing.local_endpoint().port()) + " " + app.dataPort;
    ASSERT_EQ(ktconConnect(handle, text.c_str()), KX_ERR_NO_COMMAND_CONNECTION);
    ASSERT_TRUE(app.instance->connected) << "an earlier connect still counts";
    EXPECT_EQ(ktconStopMeasurement(handle), KX_ERR_NO_COMMAND_CONNECTION);
}

// An application that goes instead of answering the stop: the stop fails, and
// still closes the listener and the data connection, so that the data port
// is free for the next start. The same holds for Disconnect.
TEST(MeasurementControl, StopAndDisconnectFreeTheDataPortWhenTheApplicationIsGone)
{
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "stop" : "disconnect");
        App app(application(threeChannels(), {}, stop ? "STOPTRANSFER" : "EXIT"));
        app.refresh();
        app.markAll();
        ASSERT_EQ(app.instance->StartMeasurement(), KX_OK);
        asio::io_context context;
        asio::ip::tcp::socket data(context);
        data.connect({asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(std::stoi(app.dataPort))});

        if (stop)
            EXPECT_EQ(ktconStopMeasurement(handleOf(app.instance.get())), KX_ERR_FAILED);
        else
            EXPECT_EQ(ktconDisconnect(handleOf(app.instance.get())), KX_OK);
        EXPECT_EQ(lastFailureText(handleOf(app.instance.get())), "the command connection is closed");
        char byte = 0;
        std::error_code error;
        data.read_some(asio::buffer(&byte, 1), error);
        // A connection the library had not accepted yet when the stop closed
        // its listener is reset by the system instead: the stop's exchange
        // needs no turn of the I/O thread, which may not have taken it yet.
        EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset)
            << "the library closed the data connection: " << error.message();
        asio::ip::tcp::acceptor again(context);
        again.open(asio::ip::tcp::v4());
        again.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        again.bind({asio::ip::tcp::v4(), static_cast<uint16_t>(std::stoi(app.dataPort))}, error);
        EXPECT_FALSE(error) << "the data port is still taken: " << error.message();
    }
}

TEST(MeasurementControl, ReadsBeforeAnyStartDeliverNothing)
{
    App app(application(threeChannels(), {}));
    double values[2] = {5, 5};
    double times[2] = {5, 5};
    size_t count = 2;
    EXPECT_EQ(app.instance->ReadScalarData2ById("0,1", values, times, &count), KX_OK);
    EXPECT_EQ(count, 0u);
    count = 2;
    EXPECT_EQ(app.instance->ReadScalarData2AbsById("0,1", values, times, &count), KX_OK);
    EXPECT_EQ(count, 0u);
    count = 2;
    double* allocated = values;
    double* allocatedTimes = times;
    app.instance->ReadScalarDataById("0,1", &allocated, &allocatedTimes, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(allocated, values) << "nothing is allocated";
    EXPECT_EQ(values[1], 5);
    EXPECT_EQ(times[0], 5);
}

TEST(MeasurementControl, ConnectingAgainReleasesTheReceiver)
{
    ScriptedPeer second(application(threeChannels(), {}));
    App app(application(threeChannels(), {}));
    app.refresh();
    app.markAll();
    ASSERT_EQ(app.instance->StartMeasurement(), KX_OK);
    const std::string text = "127.0.0.1 " + std::to_string(second.port()) + " " + freeDataPort();
    EXPECT_EQ(app.instance->Connect(text.c_str()), KX_OK);
    double value = 0;
    double time = 0;
    size_t count = 1;
    EXPECT_EQ(app.instance->ReadScalarData2ById("0,1", &value, &time, &count), KX_OK);
    EXPECT_EQ(count, 0u) << "the new connection has no measurement yet";
}

} // namespace
} // namespace ktremote::test
