// SPDX-License-Identifier: MIT
// ktconDestroyInstance: what a destroyed instance still answers, and how it
// meets a call that another thread is still in.

#include "TestInstances.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace ktremote;
using namespace ktremote::test;

namespace {

TEST(Destroy, LeavesAnInstanceThatAnswersLikeANewOne)
{
    TestInstance instance(true, 1);
    instance.channels.resize(3);
    instance.host = "far-away";
    instance.bufferSize = 5000;
    ::ChannelInstance* channel = nullptr;
    ASSERT_EQ(ktconCreateChannelInstance(instance.handle(), "0,1", &channel), KX_OK);

    EXPECT_EQ(ktconDestroyInstance(instance.handle()), KX_OK);
    EXPECT_FALSE(instance.connected);
    EXPECT_EQ(instance.mode, 0);
    EXPECT_TRUE(instance.channels.empty());
    EXPECT_EQ(instance.channels.capacity(), 0u);
    EXPECT_EQ(instance.host, "localhost");
    EXPECT_EQ(instance.bufferSize, -1);

    const int before = instance.calls;
    int state = -1;
    EXPECT_EQ(ktconGetState(instance.handle(), &state), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconDisconnect(instance.handle()), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconStartMeasurement(instance.handle()), KX_ERR_NOT_CONNECTED);
    double value = 0;
    double time = 0;
    size_t count = 1;
    EXPECT_EQ(ktconChannelReadScalarData_2(channel, &value, &time, &count), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(instance.calls, before);
    EXPECT_EQ(ktconFreeChannelInstance(channel), KX_OK);
    EXPECT_EQ(ktconDestroyInstance(instance.handle()), KX_OK);

    EXPECT_EQ(ktconConnect(instance.handle(), "x 1 2"), KX_OK);
    EXPECT_EQ(ktconGetState(instance.handle(), &state), KX_OK);
    EXPECT_EQ(ktconDestroyInstance(nullptr), KX_ERR_INVALID_HANDLE);
}

// An instance whose state query waits until the test lets it go.
class WaitingInstance : public TestInstance {
public:
    WaitingInstance() : TestInstance(true, 1) {}

    int GetState(int32_t* state) override
    {
        inside.set_value();
        go.get_future().wait();
        connectedOnReturn = connected;
        *state = 1;
        return KX_OK;
    }

    std::promise<void> inside;
    std::promise<void> go;
    bool connectedOnReturn = false;
};

// A destroy from another thread waits for the call in progress, refuses the
// calls that come meanwhile, and only then releases the instance.
TEST(Destroy, WaitsForTheCallInProgressAndRefusesNewOnes)
{
    WaitingInstance instance;
    std::future<void> inside = instance.inside.get_future();
    std::promise<int> stateResult;
    std::thread host([&] {
        int state = 0;
        stateResult.set_value(ktconGetState(instance.handle(), &state));
    });
    inside.wait();
    std::atomic<bool> destroyed{false};
    std::thread watchdog([&] {
        ktconDestroyInstance(instance.handle());
        destroyed.store(true);
    });
    while (!instance.releasing.load())
        std::this_thread::yield();
    size_t count = 0;
    EXPECT_EQ(ktconGetChannelCount(instance.handle(), &count), KX_ERR_NOT_CONNECTED);
    EXPECT_EQ(ktconConnect(instance.handle(), "x 1 2"), KX_ERR_NOT_CONNECTED);
    EXPECT_FALSE(destroyed.load());

    instance.go.set_value();
    EXPECT_EQ(stateResult.get_future().get(), KX_OK);
    host.join();
    watchdog.join();
    EXPECT_TRUE(instance.connectedOnReturn) << "released while the call was still in progress";
    EXPECT_FALSE(instance.connected);
    EXPECT_FALSE(instance.releasing.load());
}

} // namespace
