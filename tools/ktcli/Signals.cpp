// SPDX-License-Identifier: MIT
#include "Signals.h"

#include <csignal>
#include <initializer_list>
#include <cstring>

#include <unistd.h>

namespace ktcli::signals {

namespace {

volatile std::sig_atomic_t noteOnly = 0;
volatile std::sig_atomic_t received = 0;

// Only async-signal-safe calls here: write() and _exit().
extern "C" void onSignal(int signal)
{
    // A second signal is the way out of a request that never returns.
    if (noteOnly && received == 0) {
        received = signal;
        return;
    }
    static const char message[] = "ktcli: interrupted\n";
    const ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
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

void noteFromNow() { noteOnly = 1; }

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
