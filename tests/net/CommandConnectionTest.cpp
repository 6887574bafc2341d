// SPDX-License-Identifier: MIT
// The command connection: connecting, the exchange of command lines and
// replies, and what a caller sees when the connection breaks.

#include "NetTestSupport.h"
#include "ScriptedPeer.h"

#include "api/ExportGuards.h"
#include "api/Failure.h"
#include "net/ConnectionText.h"
#include "net/NETCommandConnection.h"
#include "net/NETIoThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

namespace ktremote::test {
namespace {

using namespace std::chrono_literals;

// A loopback port that refuses connections: bound, but not listening. It
// stays reserved while the object lives.
class RefusingPort {
public:
    RefusingPort() : socket(context)
    {
        socket.open(asio::ip::tcp::v4());
        socket.bind({asio::ip::make_address("127.0.0.1"), 0});
    }
    asio::ip::tcp::endpoint endpoint() const { return socket.local_endpoint(); }
    std::string connectText() const { return "127.0.0.1 " + std::to_string(endpoint().port()) + " 8001"; }

private:
    asio::io_context context;
    asio::ip::tcp::socket socket;
};

// A command connection on its own I/O thread. The thread ends before the
// connection goes.
struct Link {
    NETIoThread io;
    NETCommandConnection connection{io.context()};
    ~Link() { io.stop(); }
};

std::unique_ptr<TestNetInstance> connectedTo(ScriptedPeer& peer)
{
    auto instance = std::make_unique<TestNetInstance>();
    EXPECT_EQ(instance->Connect(peer.connectText().c_str()), KX_OK);
    return instance;
}

TEST(ConnectionText, SplitsIntoWordsLikeStreamExtraction)
{
    const struct {
        const char* text;
        std::vector<std::string> words;
    } cases[] = {
        {"a b c", {"a", "b", "c"}},
        {"  a \t\tb\r\n c \n", {"a", "b", "c"}},
        {"\va\fb", {"a", "b"}},
        {"", {}},
        {" \t\r\n", {}},
        {"one", {"one"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitWords(c.text), c.words) << c.text;
}

TEST(Connect, RefusesATextWithoutExactlyThreeWordsAndKeepsTheDefaults)
{
    for (const char* text : {"", "   ", "localhost", "localhost 8999", "a b c d", "\ta\tb\tc\td\t"}) {
        TestNetInstance instance;
        EXPECT_EQ(instance.Connect(text), KX_ERR_BAD_ADDRESS) << text;
        EXPECT_EQ(instance.lastFailure.text(),
                  "the connection text is not three words: host, command port and data port");
        EXPECT_EQ(instance.host, "localhost");
        EXPECT_EQ(instance.commandPort, "8999");
        EXPECT_EQ(instance.dataPort, "8001");
        EXPECT_FALSE(instance.connected);
        EXPECT_EQ(instance.mode, 0);
    }
}

TEST(ConnectionText, APortWordIsDecimalDigitsNamingAPortFrom1To65535)
{
    EXPECT_EQ(parseTcpPort("1"), 1);
    EXPECT_EQ(parseTcpPort("8001"), 8001);
    EXPECT_EQ(parseTcpPort("65535"), 65535);
    EXPECT_EQ(parseTcpPort(std::string(10000, '0') + "8001"), 8001);
    for (const char* word : {"", "0", "00000", "65536", "99999", "4294975297", "-1", "+8001", "8001x", "x8001", " 8001",
                             "80 01", "0x1F41", "８００１"})
        EXPECT_EQ(parseTcpPort(word), std::nullopt) << word;
}

// A data port that is no TCP port is refused before anything is opened or
// stored: no connection reaches the peer.
TEST(Connect, RefusesADataPortThatIsNoTcpPort)
{
    asio::io_context context;
    asio::ip::tcp::acceptor peer(context, {asio::ip::make_address("127.0.0.1"), 0});
    for (const char* port : {"0", "65536", "99999", "-1", "8001x"}) {
        TestNetInstance instance;
        const std::string text = "127.0.0.1 " + std::to_string(peer.local_endpoint().port()) + " " + port;
        EXPECT_EQ(ktconConnect(handleOf(&instance), text.c_str()), KX_ERR_BAD_ADDRESS) << port;
        EXPECT_EQ(lastFailureText(handleOf(&instance)), "the data port is not a TCP port number from 1 to 65535");
        EXPECT_EQ(instance.commandPort, "8999");
        EXPECT_EQ(instance.dataPort, "8001");
        EXPECT_FALSE(instance.connected);
        EXPECT_FALSE(instance.commandSocketConnected());
    }
    asio::ip::tcp::socket none(context);
    std::error_code error;
    peer.non_blocking(true);
    peer.accept(none, error);
    EXPECT_EQ(error, asio::error::would_block) << "a connection was opened";
}

TEST(Connect, StoresTheWordsGreetsAndSetsTheMode)
{
    ScriptedPeer peer(application([](const std::string&) { return "+OK\r\n"; }));
    TestNetInstance instance;
    const std::string text = " \t127.0.0.1  " + std::to_string(peer.port()) + "\r\n9001 ";
    ASSERT_EQ(instance.Connect(text.c_str()), KX_OK);
    EXPECT_EQ(instance.host, "127.0.0.1");
    EXPECT_EQ(instance.commandPort, std::to_string(peer.port()));
    EXPECT_EQ(instance.dataPort, "9001");
    EXPECT_TRUE(instance.connected);
    EXPECT_EQ(instance.mode, 1);
    EXPECT_TRUE(instance.commandSocketConnected());
}

TEST(Connect, TheGreetingIsNotTakenAsTheReplyToSetMode)
{
    ScriptedPeer peer([](Session& s) {
        s.send("+OK greeting\r\n");
        EXPECT_EQ(s.readLine(), "SETMODE 1\r\n");
        s.send("+OK mode 1\r\n");
        EXPECT_EQ(s.readLine(), "PING\r\n");
        s.send("+OK pong\r\n");
        s.readToClose();
    });
    auto instance = connectedTo(peer);
    EXPECT_EQ(instance->Transact("PING"), "+OK pong\r\n");
    instance.reset();
    EXPECT_EQ(peer.received(), "SETMODE 1\r\nPING\r\n");
}

TEST(Connect, ReportsNoCommandConnectionWhenNothingAccepts)
{
    RefusingPort refusing;
    TestNetInstance instance;
    EXPECT_EQ(instance.Connect(refusing.connectText().c_str()), KX_ERR_NO_COMMAND_CONNECTION);
    EXPECT_EQ(instance.lastFailure.text(), "the application did not accept the command connection in time");
    EXPECT_FALSE(instance.connected);
    EXPECT_EQ(instance.mode, 0);
    EXPECT_FALSE(instance.commandSocketConnected());
}

TEST(Connect, FailuresAfterTheConnectionCameUpRaiseAndLeaveTheInstanceUnconnected)
{
    // A greeting that never comes because the peer closes; a command port
    // that does not resolve.
    ScriptedPeer peer([](Session&) {}, 2);
    const struct {
        std::string text;
        const char* failure;
    } cases[] = {
        {peer.connectText(), "the command connection is closed"},
        {"127.0.0.1 no-such-service-here 8001", "the application's host or command port cannot be resolved"},
    };
    for (const auto& [text, failure] : cases) {
        TestNetInstance instance;
        EXPECT_THROW(instance.Connect(text.c_str()), Failure) << text;
        EXPECT_FALSE(instance.connected);
        EXPECT_EQ(ktconConnect(handleOf(&instance), text.c_str()), KX_ERR_FAILED);
        EXPECT_EQ(lastFailureText(handleOf(&instance)), failure);
        size_t count = 0;
        EXPECT_EQ(ktconGetChannelCount(handleOf(&instance), &count), KX_ERR_NOT_CONNECTED);
    }
}

#ifdef __linux__
size_t threadCount()
{
    size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)task;
        ++count;
    }
    return count;
}
#endif

TEST(Connect, AgainClosesTheEarlierConnectionAndItsThread)
{
    int closedByLibrary = 0;
    ScriptedPeer peer(
        [&](Session& s) {
            greet(s);
            if (s.readLine() == "EXIT\r\n")
                s.send("+OK\r\n");
            else
                ++closedByLibrary;
            s.readToClose();
        },
        3);
    RefusingPort refusing;
    TestNetInstance instance;
    ASSERT_EQ(instance.Connect(refusing.connectText().c_str()), KX_ERR_NO_COMMAND_CONNECTION);
    ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
#ifdef __linux__
    const size_t threads = threadCount();
#endif
    ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
    ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
#ifdef __linux__
    EXPECT_EQ(threadCount(), threads);
#endif
    EXPECT_TRUE(instance.connected);
    ASSERT_EQ(instance.Disconnect(), KX_OK);
    peer.finish();
    EXPECT_EQ(closedByLibrary, 2); // the third one got "EXIT" first
}

// A peer that accepts but never greets (a wrong port, another service):
// Connect gives up after its time limit with -6, closes the connection and
// ends its thread, and the instance stays unconnected.
TEST(Connect, APeerThatNeverGreetsEndsTheConnectWithNoCommandConnection)
{
    std::string leftOver = "not closed";
    std::promise<void> counted;
    ScriptedPeer peer([&, released = counted.get_future().share()](Session& s) {
        leftOver = s.readToClose();
        released.wait(); // the peer's thread stays for the count
    });
#ifdef __linux__
    const size_t threads = threadCount();
#endif
    TestNetInstance instance;
    instance.setReplyTimeLimit(300ms);
    EXPECT_EQ(ktconConnect(handleOf(&instance), peer.connectText().c_str()), KX_ERR_NO_COMMAND_CONNECTION);
    EXPECT_EQ(lastFailureText(handleOf(&instance)),
              "the peer at the command port sent no greeting in time: it is not the application");
    EXPECT_FALSE(instance.connected);
    EXPECT_EQ(instance.mode, 0);
    EXPECT_FALSE(instance.commandSocketConnected());
    int state = -1;
    EXPECT_EQ(ktconGetState(handleOf(&instance), &state), KX_ERR_NOT_CONNECTED);
#ifdef __linux__
    EXPECT_EQ(threadCount(), threads);
#endif
    counted.set_value();
    peer.finish();
    EXPECT_EQ(leftOver, "") << "nothing was sent, and the library closed the connection";
}

// A host's watchdog thread disconnects while another thread waits for a
// reply, and the application answers "EXIT" at once (in half the rounds it
// answers the pending command at the same moment). The waiting call is
// released before "EXIT" goes out, so that answer never becomes its reply:
// it never returns 0. In every other round Disconnect comes before the
// command may have been sent at all.
TEST(Disconnect, FromAnotherThreadNeverHandsExitsAnswerToTheWaitingCall)
{
    constexpr int rounds = 60;
    std::atomic<int> round{0};
    std::promise<void> commandSeen;
    std::mutex seenLock;
    ScriptedPeer peer(
        [&](Session& s) {
            const int k = round.fetch_add(1);
            greet(s);
            bool pending = false;
            for (;;) {
                const std::string line = s.readLine();
                if (line == "GETSTATUS\r\n") {
                    pending = true;
                    std::lock_guard<std::mutex> lock(seenLock);
                    commandSeen.set_value();
                } else if (line == "EXIT\r\n") {
                    s.send(pending && k % 4 == 0 ? "+OK Acquiring\r\n+OK bye\r\n" : "+OK bye\r\n");
                    s.readToClose();
                    return;
                } else {
                    return;
                }
            }
        },
        rounds);
    for (int k = 0; k < rounds; ++k) {
        {
            std::lock_guard<std::mutex> lock(seenLock);
            commandSeen = std::promise<void>();
        }
        std::future<void> seen = commandSeen.get_future();
        TestNetInstance instance;
        ASSERT_EQ(instance.Connect(peer.connectText().c_str()), KX_OK);
        ::KTXInstance* handle = handleOf(&instance);
        int state = -1;
        auto waiting = std::async(std::launch::async, [&] { return ktconGetState(handle, &state); });
        if (k % 2 == 0)
            seen.wait();
        EXPECT_EQ(ktconDisconnect(handle), KX_OK);
        ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
        EXPECT_EQ(waiting.get(), KX_ERR_FAILED) << "round " << k << ", state " << state;
        EXPECT_EQ(ktconGetState(handle, &state), KX_ERR_FAILED);
    }
    peer.finish();
}

TEST(CommandConnection, TriesTheEndpointsInOrderUntilOneAccepts)
{
    ScriptedPeer peer([](Session& s) {
        EXPECT_EQ(s.readLine(), "HELLO\r\n");
        s.send("+OK hello\r\n");
        s.readToClose();
    });
    RefusingPort refusing;
    Link link;
    link.connection.connect({refusing.endpoint(), {asio::ip::make_address("127.0.0.1"), peer.port()}});
    link.io.start();
    // Sent and awaited while the connection may still be coming up.
    link.connection.send("HELLO\r\n");
    EXPECT_EQ(link.connection.awaitReply(ReplyEnd::line()).get(), "+OK hello\r\n");
    EXPECT_TRUE(link.connection.socketConnected.load());
    link.connection.close();
    peer.finish();
}

TEST(CommandConnection, AWaitOnAConnectionThatNeverCameUpFails)
{
    RefusingPort refusing;
    Link link;
    link.connection.connect({refusing.endpoint()});
    link.io.start();
    auto reply = link.connection.awaitReply(ReplyEnd::line());
    EXPECT_THROW(reply.get(), Failure);
    EXPECT_FALSE(link.connection.socketConnected.load());
}

TEST(Transact, AReplyInSeveralSegmentsIsHandedOutWhenItsTerminatorIsThere)
{
    ScriptedPeer peer([](Session& s) {
        greet(s);
        s.readLine();
        s.sendInPieces({"+OK 12", "34", "\r", "\n"});
        s.readLine();
        s.sendInPieces({"head\r\nline\r\n+ETX en", "d li", "st\r\n"});
        s.readToClose();
    });
    auto instance = connectedTo(peer);
    EXPECT_EQ(instance->Transact("ONE"), "+OK 1234\r\n");
    const std::string list = instance->TransactList("LIST");
    EXPECT_EQ(list, "head\r\nline\r\n+ETX end list\r\n");
}

TEST(Transact, TheListReplyTakesTheLineEndOfItsLastLineWhenItComesLater)
{
    // Taken at the marker, the list would leave its line end behind as the
    // whole reply to the next command, and every later reply would answer
    // the command before it.
    ScriptedPeer peer([](Session& s) {
        greet(s);
        s.readLine();
        s.sendInPieces({"head\r\nline\r\n+ETX end list", "\r", "\n"});
        s.readLine();
        s.send("+OK No\r\n");
        s.readLine();
        s.sendInPieces({"h\nl\n+ETX end list", "\n"});
        s.readLine();
        s.send("+OK 1000\r\n");
        s.readToClose();
    });
    auto instance = connectedTo(peer);
    EXPECT_EQ(instance->TransactList("LIST"), "head\r\nline\r\n+ETX end list\r\n");
    EXPECT_EQ(instance->Transact("ISMEASURING"), "+OK No\r\n");
    EXPECT_EQ(instance->TransactList("LIST"), "h\nl\n+ETX end list\n") << "a bare line feed ends it too";
    EXPECT_EQ(instance->Transact("GETSAMPLERATE"), "+OK 1000\r\n");
}

TEST(Transact, BytesBehindTheTerminatorBelongToThatReply)
{
    ScriptedPeer peer([](Session& s) {
        greet(s);
        s.readLine();
        s.send("+OK first\r\nextra");
        s.readLine();
        s.send("+OK second\r\n");
        s.readToClose();
    });
    auto instance = connectedTo(peer);
    EXPECT_EQ(instance->Transact("A"), "+OK first\r\nextra");
    EXPECT_EQ(instance->Transact("B"), "+OK second\r\n");
}

TEST(Transact, ACommandWithLineBreaksGoesOutUnchangedAndWaitsForOneReply)
{
    ScriptedPeer peer([](Session& s) {
        greet(s);
        s.readLine();
        s.readLine();
        s.send("+OK one\r\n");
        s.readLine();
        s.send("+OK two\r\n");
        s.readToClose();
    });
    auto instance = connectedTo(peer);
    std::string reply;
    instance->SendCommand("/STX X\r\nCH 3", reply);
    EXPECT_EQ(reply, "+OK one\r\n");
    instance->SendCommand("NEXT", reply);
    EXPECT_EQ(reply, "+OK two\r\n");
    instance.reset();
    EXPECT_EQ(peer.received(), "SETMODE 1\r\n/STX X\r\nCH 3\r\nNEXT\r\n");
}

TEST(Transact, APeerClosingMidReplyReleasesTheCaller)
{
    ScriptedPeer peer([](Session& s) {
        greet(s);
        s.readLine();
        s.send("+OK half a rep");
    });
    auto instance = connectedTo(peer);
    EXPECT_THROW(instance->Transact("A"), Failure);
    // The connection stays closed: later commands fail at once.
    EXPECT_THROW(instance->Transact("B"), Failure);
    size_t count = 0;
    EXPECT_EQ(ktconGetChannelCount(handleOf(instance.get()), &count), KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(handleOf(instance.get())), "the command connection is closed");
}

TEST(Disconnect, SendsExitClosesAndLeavesTheInstanceMarkedConnected)
{
    std::string afterExit = "not closed";
    ScriptedPeer peer([&](Session& s) {
        greet(s);
        EXPECT_EQ(s.readLine(), "EXIT\r\n");
        s.send("+OK bye\r\n");
        afterExit = s.readToClose();
    });
    auto instance = connectedTo(peer);
    EXPECT_EQ(ktconDisconnect(handleOf(instance.get())), KX_OK);
    peer.finish();
    EXPECT_EQ(afterExit, "");
    EXPECT_TRUE(instance->connected);
    EXPECT_EQ(instance->mode, 1);
    // A command on the closed connection fails instead of waiting forever.
    EXPECT_THROW(instance->Transact("GETSTATUS"), Failure);
    size_t count = 0;
    EXPECT_EQ(ktconGetChannelCount(handleOf(instance.get()), &count), KX_ERR_FAILED);
}

} // namespace
} // namespace ktremote::test
