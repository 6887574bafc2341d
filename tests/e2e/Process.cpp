// SPDX-License-Identifier: MIT
#include "Process.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ktremote::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& arguments,
                          std::vector<std::string>& storage)
{
    storage.clear();
    storage.push_back(program);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : storage)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return argv;
}

// Waits for the child; polls, since waitpid has no time limit of its own.
int waitFor(pid_t pid, std::chrono::milliseconds limit, bool* reaped)
{
    const auto end = Clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            *reaped = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 && errno != EINTR) {
            *reaped = true;
            return -1;
        }
        if (Clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ktremote-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dirPath = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dirPath, ignored);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& stderrPath)
{
    int in[2];
    int out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> storage;
    std::vector<char*> argv = argvOf(program, arguments, storage);
    childPid = ::fork();
    if (childPid < 0)
        throw std::runtime_error("fork failed");
    if (childPid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0)
            ::dup2(err, 2);
        ::close(in[1]);
        ::close(out[0]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    childInputFd = in[1];
    childOutputFd = out[0];
}

ChildProcess::~ChildProcess()
{
    closeInput();
    if (!childReaped && wait(std::chrono::seconds(10)) < 0 && !childReaped) {
        ::kill(childPid, SIGKILL);
        ::waitpid(childPid, nullptr, 0);
    }
    if (childOutputFd >= 0)
        ::close(childOutputFd);
}

std::string ChildProcess::readLine(std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    for (;;) {
        const size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return "";
        pollfd descriptor{childOutputFd, POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(left)) <= 0)
            continue;
        char chunk[512];
        const ssize_t n = ::read(childOutputFd, chunk, sizeof chunk);
        if (n <= 0)
            return "";
        pending.append(chunk, static_cast<size_t>(n));
    }
}

void ChildProcess::closeInput()
{
    if (childInputFd >= 0)
        ::close(childInputFd);
    childInputFd = -1;
}

int ChildProcess::wait(std::chrono::milliseconds limit)
{
    if (!childReaped)
        waitStatus = waitFor(childPid, limit, &childReaped);
    return waitStatus;
}

RunResult runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit)
{
    TempDir dir;
    const std::string outPath = dir.file("out");
    const std::string errPath = dir.file("err");
    std::vector<std::string> storage;
    std::vector<char*> argv = argvOf(program, arguments, storage);
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    RunResult result;
    bool reaped = false;
    result.status = waitFor(pid, limit, &reaped);
    if (!reaped) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

uint16_t freePort()
{
    asio::io_context context;
    asio::ip::tcp::acceptor probe(context, asio::ip::tcp::endpoint(asio::ip::tcp::v4(), 0));
    return probe.local_endpoint().port();
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace ktremote::e2e
