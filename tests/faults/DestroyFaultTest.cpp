// SPDX-License-Identifier: MIT
// ktconDestroyInstance against ktsim: a host that opens an instance per test
// run gets everything back each time; handles used after the destroy fail
// with codes; a destroy from another thread in the middle of a measurement
// does not crash.

#include "Emulator.h"
#include "Ktsim.h"
#include "SetupParser.h"
#include "Streams.h"
#include "TestRuns.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

namespace ktremote::e2e {
namespace {

// Sanitizers keep freed memory in quarantine and shadow it: resident memory
// says nothing there, threads and descriptors still do.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool residentMemoryCounts = false;
#else
constexpr bool residentMemoryCounts = true;
#endif

// A test sequencer's instance per unit under test (see testRun): after the
// 50th run the process holds what it held after the 2nd.
TEST(DestroyFault, TestRunAfterTestRunHoldsNoMoreThanTheSecond)
{
    Ktsim sim;
    const std::string text = sim.connectText(freePort());
    const Holdings start = holdings();
    Holdings second;
    for (int run = 1; run <= 50; ++run) {
        testRun(sim, text);
        if (::testing::Test::HasFatalFailure())
            return;
        const Holdings now = holdings();
        if (run == 1 || run == 2 || run == 3 || run == 5 || run == 50)
            std::printf("after run %d: resident %+ld KiB, threads %+ld, descriptors %+ld\n", run,
                        now.residentKiB - start.residentKiB, now.threads - start.threads,
                        now.descriptors - start.descriptors);
        if (run == 2)
            second = now;
        if (run == 50) {
            // What is left of each destroyed instance: the object behind its
            // handle.
            std::printf("heap kept per destroyed instance: %zu bytes\n", (now.heapBytes - second.heapBytes) / 48);
            EXPECT_EQ(now.threads, second.threads);
            EXPECT_EQ(now.descriptors, second.descriptors);
            if (residentMemoryCounts && !runsUnderEmulator()) {
                EXPECT_LE(now.residentKiB, second.residentKiB + 8 * 1024);
            }
        }
    }
}

// Destroyed in the middle of a measurement, without a stop or a disconnect:
// the instance's thread ends and its data port closes; every later call on
// its handles fails with a code, channel handles can still be freed, and the
// handle connects and measures again.
TEST(DestroyFault, HandlesUsedAfterDestroyFailWithCodes)
{
    Ktsim sim;
    const std::string text = sim.connectText(freePort());
    // A first thread makes runtimes start their helper threads (the thread
    // sanitizer's), so that only the library's own are counted below.
    std::thread([] {}).join();
    const long threadsBefore = holdings().threads;
    ::KTXInstance* app = connectFast(text);
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app, &count), KX_OK);
    ::ChannelInstance* voltage = nullptr;
    ASSERT_EQ(ktconCreateChannelInstanceByNameUtf8(app, "Voltage", &voltage), KX_OK);
    ::ChannelInstance* events = nullptr;
    ASSERT_EQ(ktconCreateChannelInstanceByNameUtf8(app, "Events", &events), KX_OK);
    ASSERT_EQ(ktconStartMeasurement(app), KX_OK);

    EXPECT_EQ(ktconDestroyInstance(app), KX_OK);
    // The thread is joined when destroy returns; the system may list it for
    // a moment longer on a loaded machine.
    long threadsAfter = holdings().threads;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         threadsAfter != threadsBefore && std::chrono::steady_clock::now() < until;)
        threadsAfter = holdings().threads;
    EXPECT_EQ(threadsAfter, threadsBefore) << "the I/O thread still runs";
    double values[16];
    double times[16];
    size_t n = 16;
    EXPECT_EQ(ktconChannelReadScalarData_2(voltage, values, times, &n), KX_ERR_NOT_CONNECTED);
    double* allocated = nullptr;
    double* allocatedTimes = nullptr;
    EXPECT_EQ(ktconChannelReadScalarData(voltage, &allocated, &allocatedTimes, &n), KX_ERR_NOT_CONNECTED);
    // Writes check no connection, as on a new instance: the channel record
    // refuses this one.
    EXPECT_EQ(ktconControlChannelWriteData(voltage, 1.0), KX_ERR_NOT_CONTROL_CHANNEL);
    char name[32];
    EXPECT_EQ(ktconChannelGetName(voltage, name, sizeof name), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconStartMeasurement(app), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconStopMeasurement(app), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconGetChannelCount(app, &count), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconDisconnect(app), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconDestroyInstance(app), KX_OK);
    EXPECT_EQ(ktconFreeChannelInstance(voltage), KX_OK);

    // The same data port: the destroyed instance's listener is gone.
    ASSERT_EQ(connectFastAgain(app, text), KX_OK);
    measureExactly(app, sim, defaultModel());
    EXPECT_EQ(ktconFreeChannelInstance(events), KX_OK);
    EXPECT_EQ(ktconDisconnect(app), KX_OK);
    EXPECT_EQ(ktconDestroyInstance(app), KX_OK);
}

// The host's fault, but not a crash: one thread measures in a loop while
// another destroys the instance at a random moment.
TEST(DestroyFault, ADestroyFromAnotherThreadInTheMiddleOfCallsDoesNotCrash)
{
    Ktsim sim;
    const std::string text = sim.connectText(freePort());
    ::KTXInstance* app = connectFast(text);
    interruptMeasuringHost(app, text, 50, 27, ktconDestroyInstance);
    if (::testing::Test::HasFatalFailure())
        return;
    ASSERT_EQ(connectFastAgain(app, text), KX_OK);
    measureExactly(app, sim, defaultModel());
    EXPECT_EQ(ktconDestroyInstance(app), KX_OK);
}

} // namespace
} // namespace ktremote::e2e
