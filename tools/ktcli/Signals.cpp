// SPDX-License-Identifier: MIT
#include "Signals.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

#include <time.h>
#include <unistd.h>

namespace ktcli::signals {

namespace {

// Signals this close to the first one belong to the same request.
constexpr int sameRequestTenths = 20;
constexpr auto stopLimit = std::chrono::seconds(2);

volatile std::sig_atomic_t noteOnly = 0;
volatile std::sig_atomic_t received = 0;
volatile std::sig_atomic_t firstTenths = 0; // monotonic clock, tenths of a second
volatile std::sig_atomic_t lateSignal = 0;
int wakePipe[2] = {-1, -1};

std::atomic<bool> measuringNow{false};
std::function<bool()> lateStop;

int tenthsNow()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int>(now.tv_sec % 100000000 * 10 + now.tv_nsec / 100000000);
}

void say(const char* text)
{
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

// Only async-signal-safe calls here: clock_gettime(), write() and _exit().
extern "C" void onSignal(int signal)
{
    if (!noteOnly) {
        say("ktcli: interrupted\n");
        ::_exit(128 + signal);
    }
    const int now = tenthsNow();
    if (received == 0) {
        firstTenths = now;
        received = signal;
        return;
    }
    if (now - firstTenths < sameRequestTenths || lateSignal != 0)
        return;
    lateSignal = signal;
    const char wake = 1;
    if (wakePipe[1] < 0 || ::write(wakePipe[1], &wake, 1) != 1) {
        say("ktcli: interrupted\n");
        ::_exit(128 + signal);
    }
}

// Waits for a later signal; then stops the application (at most stopLimit)
// and ends the process.
void watchForLateSignal()
{
    char wake = 0;
    while (::read(wakePipe[0], &wake, 1) != 1) {}
    const int signal = lateSignal;
    if (!measuringNow.load()) {
        say("ktcli: interrupted\n");
        ::_exit(128 + signal);
    }
    say("ktcli: interrupted again; asking the application to stop its measurement\n");
    struct Outcome {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
        bool stopped = false;
    };
    // Shared with the stopping thread, which may outlive this wait.
    auto outcome = std::make_shared<Outcome>();
    std::thread([outcome] {
        bool stopped = false;
        try {
            stopped = lateStop && lateStop();
        } catch (...) {
        }
        std::lock_guard<std::mutex> hold(outcome->lock);
        outcome->done = true;
        outcome->stopped = stopped;
        outcome->changed.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(outcome->lock);
    outcome->changed.wait_for(hold, stopLimit, [&] { return outcome->done; });
    if (outcome->stopped)
        say("ktcli: the application's measurement is stopped\n");
    else
        say("ktcli: could not stop the application's measurement within 2 s; it may still acquire "
            "(`ktcli stop` ends it)\n");
    ::_exit(128 + signal);
}

} // namespace

void install()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void noteFromNow(std::function<bool()> stop)
{
    if (wakePipe[0] < 0 && ::pipe(wakePipe) == 0) {
        lateStop = std::move(stop);
        // Blocked in read() for the rest of the process: detached, so that
        // an ordinary end of main() does not wait for it.
        std::thread(watchForLateSignal).detach();
    }
    noteOnly = 1;
}

void setMeasuring(bool measuring) { measuringNow = measuring; }

int noted() { return received; }

const char* name(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

} // namespace ktcli::signals
