// The choice between spinning and blocking while a caller waits for a reply.

#include "net/AdaptiveSpin.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace ktremote::test {
namespace {

using namespace std::chrono_literals;

constexpr int every = AdaptiveSpin::exploreEvery;

// Feeds `count` waits in which spinning took `spun` and blocking `blocked`,
// whichever way each one chose; returns how many spun.
int run(AdaptiveSpin& policy, int count, AdaptiveSpin::Clock::duration spun, AdaptiveSpin::Clock::duration blocked)
{
    int spins = 0;
    for (int i = 0; i < count; ++i) {
        const bool spin = policy.chooseSpin();
        spins += spin;
        policy.record(spin, spin ? spun : blocked);
    }
    return spins;
}

TEST(AdaptiveSpin, TriesBothWaysThenKeepsTheFasterAndRetriesTheOther)
{
    AdaptiveSpin policy;
    EXPECT_FALSE(policy.chooseSpin());
    policy.record(false, 40us);
    EXPECT_TRUE(policy.chooseSpin());
    policy.record(true, 10us);

    // Spinning is faster: it is used except for the retries of blocking.
    EXPECT_EQ(run(policy, 10 * every, 10us, 40us), 10 * every - 10);

    // The machine gets busy and spinning slows every exchange down: the
    // retries find that out and the choice turns.
    run(policy, 20 * every, 80us, 20us);
    EXPECT_EQ(run(policy, 10 * every, 80us, 20us), 10);
}

TEST(AdaptiveSpin, BlocksWhenBothWaysTakeAsLong)
{
    // A peer across a network answers later than any spin lasts; spinning
    // would only burn a core.
    AdaptiveSpin policy;
    run(policy, 2 * every, 5ms, 5ms);
    EXPECT_EQ(run(policy, 10 * every, 5ms, 5ms), 10);
}

TEST(AdaptiveSpin, OneSlowCommandDoesNotTurnTheChoice)
{
    AdaptiveSpin policy;
    run(policy, every, 10us, 50us);
    ASSERT_TRUE(policy.chooseSpin());
    policy.record(true, 2s); // a setup that takes two seconds to load
    EXPECT_EQ(run(policy, every - 2, 10us, 50us), every - 2); // up to the next retry of blocking
}

TEST(AdaptiveSpin, WaitReturnsOnceTheReplyIsThereEitherWay)
{
    AdaptiveSpin policy;
    for (int i = 0; i < 4; ++i) { // blocking, spinning, then the faster one
        std::promise<std::string> reply;
        std::future<std::string> future = reply.get_future();
        std::thread peer([&reply, i] {
            if (i % 2)
                std::this_thread::sleep_for(1ms); // longer than any spin: blocks in the end
            reply.set_value("+OK\r\n");
        });
        policy.wait(future);
        EXPECT_EQ(future.wait_for(0s), std::future_status::ready);
        EXPECT_EQ(future.get(), "+OK\r\n");
        peer.join();
    }
}

} // namespace
} // namespace ktremote::test
