// SPDX-License-Identifier: MIT
// The one test of the connect timing that hosts get: the command connection
// is looked at only after a pause of two seconds.

#include "NetTestSupport.h"

#include "api/InstanceFactory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace ktremote::test {
namespace {

TEST(ConnectTiming, ASuccessfulConnectTakesAtLeastTwoSeconds)
{
    ScriptedPeer peer(application([](const std::string&) { return "+OK\r\n"; }));
    std::unique_ptr<KTXInstance> instance(createNetworkInstance());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ktconConnect(handleOf(instance.get()), peer.connectText().c_str()), KX_OK);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(instance->connected);
    EXPECT_EQ(instance->mode, 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(2000));
}

} // namespace
} // namespace ktremote::test
