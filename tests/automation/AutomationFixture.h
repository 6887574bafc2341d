// SPDX-License-Identifier: MIT
#pragma once

// An automation instance wired to an in-process fake application (instead
// of the application's local server), and a fixture around it.

#include "automation/KTXDCOMInstance.h"
#include "api/ExportGuards.h"
#include "fake/FakeKaltrop.h"
#include "ktremote.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ktremote::test {

class InProcessInstance : public KTXDCOMInstance {
public:
    explicit InProcessInstance(std::shared_ptr<fake::FakeKaltrop> kaltrop) : fakeKaltrop(std::move(kaltrop)) {}
    bool applicationAvailable = true;

protected:
    IDispatch* createApplication() override { return applicationAvailable ? fakeKaltrop->newApplication() : nullptr; }

private:
    std::shared_ptr<fake::FakeKaltrop> fakeKaltrop;
};

inline fake::FakeChannel syncChannel(std::vector<int32_t> indexEx, std::string name)
{
    fake::FakeChannel c;
    c.indexEx = std::move(indexEx);
    c.name = std::move(name);
    c.sampleRate = 1000.0;
    return c;
}

class Automation : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (::ChannelInstance* channel : channels)
            ktconFreeChannelInstance(channel);
        instance->Disconnect();
        instance.reset();
        // Every object the library was handed has been released again.
        EXPECT_EQ(kaltrop->recorder->live, 0);
    }

    ::KTXInstance* handle() { return handleOf(static_cast<KTXInstance*>(instance.get())); }

    void connect()
    {
        ASSERT_EQ(ktconConnect(handle(), ""), KX_OK);
        ASSERT_TRUE(instance->connected);
        kaltrop->recorder->clear();
    }

    // Opens a handle per id (kept until the end of the test).
    ::ChannelInstance* open(const char* id)
    {
        ::ChannelInstance* channel = nullptr;
        EXPECT_EQ(ktconCreateChannelInstance(handle(), id, &channel), KX_OK) << id;
        if (channel != nullptr)
            channels.push_back(channel);
        return channel;
    }

    // Connects, opens every channel of the fake in order and starts.
    void startWithAllChannels()
    {
        connect();
        for (const fake::FakeChannel& c : kaltrop->channels) {
            std::string id;
            for (size_t i = 0; i < c.indexEx.size(); ++i)
                id += (i ? "," : "") + std::to_string(c.indexEx[i]);
            open(id.c_str());
        }
        ASSERT_EQ(instance->StartMeasurement(), KX_OK);
        kaltrop->recorder->clear();
    }

    std::vector<std::string> calls() const { return kaltrop->recorder->lines(); }

    std::shared_ptr<fake::FakeKaltrop> kaltrop = fake::FakeKaltrop::create();
    std::unique_ptr<InProcessInstance> instance = std::make_unique<InProcessInstance>(kaltrop);
    std::vector<::ChannelInstance*> channels;
};

using Lines = std::vector<std::string>;

} // namespace ktremote::test
