// SPDX-License-Identifier: MIT
#pragma once

// Clocks, CPU time of threads and processes, and resident memory, read from
// the system while a measurement runs (Linux).

#include <chrono>
#include <cstdint>
#include <map>
#include <vector>

#include <sys/types.h>

namespace ktremote::bench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);

// Seconds of the monotonic clock, the clock ktsim --stamp-send-time writes.
double monotonicSeconds();

// CPU seconds used so far by the calling thread.
double threadCpuSeconds();

// CPU seconds used so far by each thread of this process, by thread id.
std::map<pid_t, double> taskCpuSeconds();

// CPU seconds used so far by a whole process (all its threads).
double processCpuSeconds(pid_t pid);

// Resident memory of this process in bytes.
uint64_t residentBytes();

// The q-quantile (0..1) of the values (sorted in place).
double quantile(std::vector<double>& values, double q);

// The calling thread's id, as in /proc/self/task.
pid_t currentThreadId();

// CPU seconds each thread of this process, and a child process, used over a
// window of time.
class CpuWindow {
public:
    explicit CpuWindow(pid_t child = 0) : childPid(child) {}
    void begin();
    void end();
    // Over the window; 0 for a thread that did not exist at its beginning.
    double thread(pid_t tid) const;
    double child() const { return childEnd - childBegin; }
    // The busiest thread that is not in `known`, and its CPU seconds.
    double busiestOther(const std::map<pid_t, double>& known) const;

private:
    pid_t childPid;
    std::map<pid_t, double> threadCpuAtBegin;
    std::map<pid_t, double> threadCpuAtEnd;
    double childBegin = 0.0;
    double childEnd = 0.0;
};

} // namespace ktremote::bench
