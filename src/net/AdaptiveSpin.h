#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>

namespace ktremote {

// How a caller waits for a reply that another thread hands over through a
// future: by spinning on it for a moment before blocking, or by blocking at
// once.
//
// Spinning saves waking a blocked thread, which on an idle machine costs
// more than the whole exchange with the application. On a busy machine the
// spinning thread takes a core that the application and the I/O thread need
// to produce the reply, and every exchange gets slower. Neither is known in
// advance, so both ways are timed: each wait uses the one whose recent waits
// were shorter, and every `exploreEvery`-th wait tries the other one again.
// A wait longer than twice the spin limit counts as that long: past it the
// way of waiting makes no difference, and a slow command must not decide.
//
// Callers of one instance may wait from several threads (a disconnect from
// another thread); the figures are kept in relaxed atomics, and a lost
// update only makes one choice less informed.
class AdaptiveSpin {
public:
    using Clock = std::chrono::steady_clock;

    // A reply from an application on the same machine comes within tens of
    // microseconds; retrying the other way costs at most one spin limit in
    // every `exploreEvery` waits.
    static constexpr std::chrono::microseconds spinLimit{50};
    static constexpr uint32_t exploreEvery = 64;

    // Returns once the future is ready.
    template <class Future>
    void wait(const Future& future)
    {
        const bool spin = chooseSpin();
        const auto start = Clock::now();
        if (spin) {
            const auto until = start + spinLimit;
            while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready && Clock::now() < until)
                relax();
        }
        future.wait();
        record(spin, Clock::now() - start);
    }

    // Whether the next wait spins; counts it as taken. Exposed for tests.
    bool chooseSpin();
    // Adds one wait of `waited` to the figures of its way of waiting.
    void record(bool spun, Clock::duration waited);

private:
    static void relax();

    std::atomic<uint32_t> waits{0};
    // Moving averages of the wait in nanoseconds; 0 until the first wait of
    // that way.
    std::atomic<int64_t> spinning{0};
    std::atomic<int64_t> blocking{0};
};

} // namespace ktremote
