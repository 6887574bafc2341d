// SPDX-License-Identifier: MIT
#include "Measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace ktremote::bench {

namespace {

double clockSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Fields 14 and 15 (utime, stime) of a stat file, in seconds. The command
// name in field 2 may hold blanks, so fields are counted after its ')'.
double statCpuSeconds(const std::string& path)
{
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Nanosecond CPU time of a thread from its schedstat, else its stat.
double taskSeconds(pid_t tid)
{
    const std::string dir = "/proc/self/task/" + std::to_string(tid);
    std::ifstream in(dir + "/schedstat");
    unsigned long long ns = 0;
    if (in >> ns)
        return static_cast<double>(ns) * 1e-9;
    return statCpuSeconds(dir + "/stat");
}

} // namespace

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double monotonicSeconds() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

double threadCpuSeconds() { return clockSeconds(CLOCK_THREAD_CPUTIME_ID); }

std::map<pid_t, double> taskCpuSeconds()
{
    std::map<pid_t, double> tasks;
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return tasks;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const auto tid = static_cast<pid_t>(std::atoi(entry->d_name));
        tasks[tid] = taskSeconds(tid);
    }
    closedir(dir);
    return tasks;
}

double processCpuSeconds(pid_t pid) { return statCpuSeconds("/proc/" + std::to_string(pid) + "/stat"); }

uint64_t residentBytes()
{
    std::ifstream in("/proc/self/statm");
    unsigned long long size = 0, resident = 0;
    in >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

double quantile(std::vector<double>& values, double q)
{
    if (values.empty())
        return std::nan("");
    const auto at = static_cast<size_t>(
        std::min<double>(static_cast<double>(values.size() - 1), std::floor(q * static_cast<double>(values.size()))));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void CpuWindow::begin()
{
    threadCpuAtBegin = taskCpuSeconds();
    childBegin = childPid ? processCpuSeconds(childPid) : 0.0;
}

void CpuWindow::end()
{
    threadCpuAtEnd = taskCpuSeconds();
    childEnd = childPid ? processCpuSeconds(childPid) : 0.0;
}

double CpuWindow::thread(pid_t tid) const
{
    const auto b = threadCpuAtBegin.find(tid);
    const auto e = threadCpuAtEnd.find(tid);
    return b == threadCpuAtBegin.end() || e == threadCpuAtEnd.end() ? 0.0 : e->second - b->second;
}

double CpuWindow::busiestOther(const std::map<pid_t, double>& known) const
{
    double busiest = 0.0;
    for (const auto& [tid, seconds] : threadCpuAtEnd)
        if (!known.count(tid))
            busiest = std::max(busiest, thread(tid));
    return busiest;
}

} // namespace ktremote::bench
