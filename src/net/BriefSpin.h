// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <future>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace ktremote {

// Tells the CPU that this thread is waiting in a loop.
inline void cpuPause()
{
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#endif
}

// How long a caller looks at a reply before it blocks on it. A reply from an
// application on the same machine usually comes within this time; one that
// takes longer costs the caller this much of a core once, then it sleeps.
inline constexpr std::chrono::microseconds briefSpinLimit{50};

// Returns once `future` is ready or `briefSpinLimit` has passed, whichever
// comes first. A reply that is there when the caller looks needs no wake-up
// of a blocked thread, which costs more than a local exchange with the
// application itself. Looking is an atomic load (a zero wait_for never
// blocks), with a CPU pause between looks to leave the core's other
// hardware thread and the bus alone.
template <class T>
void spinBrieflyOn(const std::future<T>& future)
{
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + briefSpinLimit;
    for (;;) {
        for (int look = 0; look < 16; ++look) {
            if (future.wait_for(std::chrono::seconds(0)) != std::future_status::timeout)
                return;
            cpuPause();
        }
        if (Clock::now() >= until)
            return;
    }
}

} // namespace ktremote
