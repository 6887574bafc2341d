// SPDX-License-Identifier: MIT
// The ktsim program as a parent process starts it: the first line names the
// port, and it goes away when its stdin closes or it gets SIGTERM.
#include "KtremoteVersion.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct Child {
    explicit Child(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            std::vector<char*> argv;
            args.insert(args.begin(), KTSIM_EXECUTABLE);
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdinFd = in[1];
        stdoutFile = ::fdopen(out[0], "r");
    }
    ~Child()
    {
        if (stdinFd >= 0)
            ::close(stdinFd);
        if (pid > 0 && !reaped) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        std::fclose(stdoutFile);
    }
    std::string firstLine()
    {
        char line[256] = {};
        return std::fgets(line, sizeof line, stdoutFile) ? line : "";
    }
    // The exit status, or -1 if the child is still running after the limit.
    int wait(std::chrono::seconds limit = 20s)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                reaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

    pid_t pid = -1;
    int stdinFd = -1;
    FILE* stdoutFile = nullptr;
    bool reaped = false;
};

unsigned short portOf(const std::string& line)
{
    std::smatch m;
    std::regex pattern("^ktsim listening on 127\\.0\\.0\\.1:([0-9]+)\n$");
    if (!std::regex_match(line, m, pattern))
        return 0;
    return static_cast<unsigned short>(std::stoi(m[1]));
}

TEST(ProcessTest, ReportsItsPortAndExitsWhenStdinCloses)
{
    Child child({"--port", "0", "--seed", "3", "--exit-on-stdin-eof"});
    std::string line = child.firstLine();
    unsigned short port = portOf(line);
    ASSERT_NE(port, 0) << line;

    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::address_v4::loopback(), port});
    asio::streambuf buffer;
    asio::read_until(socket, buffer, "\r\n");
    asio::write(socket, asio::buffer(std::string("GETSTATUS\r\n")));
    std::size_t n = asio::read_until(socket, buffer, "+OK Setup\r\n");
    EXPECT_GT(n, 0u);

    ::close(child.stdinFd);
    child.stdinFd = -1;
    EXPECT_EQ(child.wait(), 0);
}

TEST(ProcessTest, ExitsCleanlyOnSigterm)
{
    Child child({"--port", "0"});
    ASSERT_NE(portOf(child.firstLine()), 0);
    ::kill(child.pid, SIGTERM);
    EXPECT_EQ(child.wait(), 0);
}

TEST(ProcessTest, VersionNamesItselfAndTheLibrary)
{
    Child child({"--version"});
    const std::string version = ktremote::versionText;
    EXPECT_EQ(child.firstLine(), "ktsim " + version + " (library " + version + ")\n");
    EXPECT_EQ(child.wait(), 0);
}

TEST(ProcessTest, RefusesBadArguments)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--no-such-option"}, 2}, {{"--fault", "nonsense"}, 2}, {{"--port", "0", "--setup", "/no/such/setup.kts"}, 1},
        {{"--help"}, 0},           {{"--version=1"}, 2},
    };
    for (const Case& c : cases) {
        Child child(c.args);
        EXPECT_EQ(child.wait(), c.status) << c.args[0];
    }
}

} // namespace
