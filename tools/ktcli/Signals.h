// SPDX-License-Identifier: MIT
// How ktcli reacts to SIGINT, SIGTERM and SIGHUP, and to a closed output
// pipe.
//
// Until a measurement starts, nothing in the application needs undoing, so
// a signal ends ktcli at once (status 128 + the signal's number) - also in
// the middle of connecting, which can take many seconds. Once ktcli starts a
// measurement, a signal only marks the stream as ended: the stream loop then
// stops the acquisition and finishes its output like at the end of
// --duration; a second signal ends ktcli at once, for a request that never
// returns. SIGPIPE is ignored, so a closed pipe shows as a failed write.
#pragma once

namespace ktcli::signals {

// Installs the handlers, in the exit-at-once mode.
void install();

// From now on the first signal is noted instead of ending the process.
void noteFromNow();

// The signal noted since noteFromNow(), or 0.
int noted();

// "SIGINT", "SIGTERM", "SIGHUP" or "a signal".
const char* name(int signal);

} // namespace ktcli::signals
