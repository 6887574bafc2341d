// SPDX-License-Identifier: MIT
#pragma once

// A test sequencer's use of the library: an instance per unit under test,
// opened, measured with and destroyed again; and what this process holds
// between such runs.

#include "Ktsim.h"

#include <cstddef>
#include <string>

namespace ktremote::e2e {

// Threads, open descriptors, resident memory (after the C heap gave back
// what it can) and heap in use of this process.
struct Holdings {
    long threads = 0;
    long descriptors = 0;
    long residentKiB = 0;
    size_t heapBytes = 0;
};

Holdings holdings();

// One test run: a new instance, connected with the quick poll; Voltage,
// Current, Temperature and Events with buffers of 2,000,000 samples; a
// measurement until 200 Voltage samples were read; the channel handles
// freed, disconnected and destroyed. Failures are reported to the running
// test.
void testRun(const Ktsim& sim, const std::string& connectText);

// Rounds of a host thread that loops start, read (Voltage), state and stop
// while this thread, after a random pause of up to 20 ms, calls `interrupt`
// (ktconDisconnect or ktconDestroyInstance) on the instance and expects 0;
// the host thread then makes one more pass. Every round but the first
// connects the instance again first. Failures are reported to the running
// test.
void interruptMeasuringHost(::KTXInstance* app, const std::string& connectText, int rounds, unsigned seed,
                            KX_ERROR_CODE (*interrupt)(::KTXInstance*));

} // namespace ktremote::e2e
