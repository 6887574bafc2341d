// SPDX-License-Identifier: MIT
#pragma once

// Small instance and channel classes for exercising the exported functions
// without a backend: they set `connected` and `mode` directly, count calls,
// and can be told to raise a failure or an unrelated exception.

#include "api/ChannelInstance.h"
#include "api/ExportGuards.h"
#include "api/Failure.h"
#include "api/KTXInstance.h"
#include "api/LastFailure.h"

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace ktremote::test {

enum class Raise { Nothing, Failure, BadAlloc, Other };

inline void raiseAs(Raise what)
{
    switch (what) {
    case Raise::Nothing: return;
    case Raise::Failure: throw Failure(-8, "the test operation failed");
    case Raise::BadAlloc: throw std::bad_alloc();
    case Raise::Other: throw std::runtime_error("conversion failed");
    }
}

class TestChannel : public ChannelInstance {
public:
    using ChannelInstance::ChannelInstance;
    int calls = 0;
    Raise raise = Raise::Nothing;
    int result = 0;

    int SetTransferred(bool t) override
    {
        return hit([&] { transferred = t; });
    }
    int GetSampleRate(double* r) override
    {
        return hit([&] { *r = 123.0; });
    }
    int ReadScalarData(double**, double**, size_t* c) override
    {
        return hit([&] { *c = 7; });
    }
    int ReadScalarData2(double*, double*, size_t* c) override
    {
        return hit([&] { *c = 7; });
    }
    int ReadScalarData2Abs(double*, double*, size_t* c) override
    {
        return hit([&] { *c = 7; });
    }
    int WriteControlData(double value, double time) override
    {
        return hit([&] {
            lastValue = value;
            lastTime = time;
        });
    }
    double lastValue = 0, lastTime = 0;

private:
    template <class F>
    int hit(F&& effect)
    {
        ++calls;
        raiseAs(raise);
        effect();
        return result;
    }
};

class TestInstance : public KTXInstance {
public:
    TestInstance(bool isConnected, int32_t isMode)
    {
        connected = isConnected;
        mode = isMode;
    }

    int calls = 0;
    Raise raise = Raise::Nothing;
    int result = 0; // what every overridden operation returns
    std::vector<std::string> ids;

    int Connect(const char*) override
    {
        return hit([&] { connected = true; });
    }
    int Disconnect() override
    {
        return hit([] {});
    }
    int GetChannelCount(size_t* c) override
    {
        return hit([&] { *c = 42; });
    }
    int SetAppWindowVisible(bool) override
    {
        return hit([] {});
    }
    int LoadSetup(const char*) override
    {
        return hit([] {});
    }
    int IsInAcquisition(bool* r) override
    {
        return hit([&] { *r = true; });
    }
    int GetState(int32_t* s) override
    {
        return hit([&] { *s = 3; });
    }
    int StartMeasurement() override
    {
        return hit([] {});
    }
    int StartStoring(const char*) override
    {
        return hit([] {});
    }
    int StopStoring() override
    {
        return hit([] {});
    }
    int StopMeasurement() override
    {
        return hit([] {});
    }
    int BeginRead(intptr_t, intptr_t) override
    {
        return hit([] {});
    }
    int EndRead() override
    {
        return hit([] {});
    }
    int EnumerateChannels(char***, size_t* c) override
    {
        return hit([&] { *c = 1; });
    }
    int InitChannelIdEnum() override
    {
        return hit([] {});
    }
    ChannelInstance* CreateChannelInstance(KTXInstance* owner, const char* id) override
    {
        ++calls;
        raiseAs(raise);
        if (std::string(id) != "0,1")
            return nullptr;
        return makeChannel(owner);
    }
    ChannelInstance* CreateChannelInstanceByNameUtf8(KTXInstance* owner, const char* name) override
    {
        ++calls;
        raiseAs(raise);
        if (std::string(name) != "Speed")
            return nullptr;
        return makeChannel(owner);
    }
    int GetNextChannelIdSize(int32_t* size) override
    {
        ++calls;
        return nextIdSize(
            ids.size(), [&](size_t k) -> const std::string& { return ids[k]; }, size);
    }
    int GetNextChannelId(char* buffer) override
    {
        ++calls;
        return nextId(
            ids.size(), [&](size_t k) -> const std::string& { return ids[k]; }, buffer);
    }

    ::KTXInstance* handle() { return handleOf(static_cast<KTXInstance*>(this)); }

private:
    static ChannelInstance* makeChannel(KTXInstance* owner)
    {
        auto* channel = new TestChannel();
        channel->owner = owner;
        return channel;
    }

    template <class F>
    int hit(F&& effect)
    {
        ++calls;
        raiseAs(raise);
        effect();
        return result;
    }
};

inline ::ChannelInstance* handleOfChannel(ChannelInstance* c) { return handleOf(c); }

} // namespace ktremote::test
