// SPDX-License-Identifier: MIT
#include "TestRuns.h"

#include "api/LastFailure.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <malloc.h>

#include <atomic>
#include <algorithm>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

namespace ktremote::e2e {

Holdings holdings()
{
    malloc_trim(0);
    Holdings now;
    now.heapBytes = mallinfo2().uordblks;
    // A thread that was just joined may still be counted for a moment while
    // the system finishes it: the lowest of a few looks counts.
    for (int look = 0; look < 10; ++look) {
        if (look > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Threads:", 0) == 0) {
                const long threads = std::stol(line.substr(8));
                now.threads = look == 0 ? threads : std::min(now.threads, threads);
            } else if (line.rfind("VmRSS:", 0) == 0) {
                now.residentKiB = std::stol(line.substr(6));
            }
        }
    }
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr)
            ++now.descriptors;
        closedir(fds);
    }
    return now;
}

void testRun(const Ktsim& sim, const std::string& connectText)
{
    ::KTXInstance* app = connectFast(connectText);
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK) << lastFailureText(app);
    std::vector<::ChannelInstance*> channels;
    for (const char* name : {"Voltage", "Current", "Temperature", "Events"}) {
        ::ChannelInstance* channel = nullptr;
        ASSERT_EQ(ktconCreateChannelInstanceByNameUtf8(app, name, &channel), KX_OK) << name;
        channels.push_back(channel);
    }
    ASSERT_EQ(ktconSetBufferSize(app, 2000000), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK) << lastFailureText(app);
    std::vector<double> values(4096);
    std::vector<double> times(4096);
    size_t read = 0;
    for (int round = 0; round < 6000 && read < 200; ++round) {
        size_t n = values.size();
        ASSERT_EQ(ktconChannelReadScalarData_2(channels[0], values.data(), times.data(), &n), KX_OK);
        read += n;
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(read, 200u) << sim.log();
    ASSERT_EQ(ktconStopMeasurement(app), KX_OK);
    for (::ChannelInstance* channel : channels)
        EXPECT_EQ(ktconFreeChannelInstance(channel), KX_OK);
    EXPECT_EQ(ktconDisconnect(app), KX_OK);
    EXPECT_EQ(ktconDestroyInstance(app), KX_OK);
}

void interruptMeasuringHost(::KTXInstance* app, const std::string& connectText, int rounds, unsigned seed,
                            KX_ERROR_CODE (*interrupt)(::KTXInstance*))
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, 20000); // microseconds
    for (int round = 0; round < rounds; ++round) {
        if (round > 0) {
            ASSERT_EQ(connectFastAgain(app, connectText), KX_OK) << "round " << round;
        }
        size_t count = 0;
        ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
        ChannelHandle voltage = openChannel(app, "Voltage");
        std::atomic<bool> interrupted{false};
        std::thread host([&] {
            double values[256];
            double times[256];
            // One more pass after the interruption, so that calls on the
            // closed instance are exercised too.
            for (bool last = false; !last;) {
                last = interrupted.load();
                ktconStartMeasurement(app);
                size_t n = 256;
                ktconChannelReadScalarData_2(voltage.get(), values, times, &n);
                int state = 0;
                ktconGetState(app, &state);
                ktconStopMeasurement(app);
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        EXPECT_EQ(interrupt(app), KX_OK);
        interrupted.store(true);
        host.join();
    }
}

} // namespace ktremote::e2e
