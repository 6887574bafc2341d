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

} // namespace ktremote::e2e
