// SPDX-License-Identifier: MIT
// How ktcli reacts to SIGINT, SIGTERM and SIGHUP, and to a closed output
// pipe.
//
// Until a measurement starts, nothing in the application needs undoing, so
// a signal ends ktcli at once (status 128 + the signal's number) - also in
// the middle of connecting, which can take many seconds. Once ktcli may
// start a measurement, a signal only marks the stream as ended: the stream
// then stops the acquisition and finishes its output like at the end of
// --duration.
//
// One request to stop is one request: signals within two seconds of the
// first, of whatever kind, belong to it (GNU timeout, for one, sends its
// signal to ktcli and then to the whole process group). A signal after that
// is the way out of a stream that does not end: it ends ktcli at once, but
// while a measurement of ktcli's runs it first has the application stopped,
// waiting at most two seconds for that, and says whether it worked.
// SIGPIPE is ignored, so a closed pipe shows as a failed write.
#pragma once

#include <functional>

namespace ktcli::signals {

// Installs the handlers, in the exit-at-once mode.
void install();

// From now on the first signal is noted instead of ending the process. A
// later signal calls `stop` on a thread of its own while measuring() is set
// (see above); `stop` returns whether the application stopped.
void noteFromNow(std::function<bool()> stop);

// Whether a measurement of ktcli's runs in the application now.
void setMeasuring(bool measuring);

// The signal noted since noteFromNow(), or 0.
int noted();

// "SIGINT", "SIGTERM", "SIGHUP" or "a signal".
const char* name(int signal);

} // namespace ktcli::signals
