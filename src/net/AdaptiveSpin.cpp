#include "AdaptiveSpin.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace ktremote {

namespace {

// A new wait weighs an eighth in the moving average.
int64_t blend(int64_t average, int64_t sample) { return average == 0 ? sample : average + (sample - average) / 8; }

} // namespace

bool AdaptiveSpin::chooseSpin()
{
    const uint32_t n = waits.fetch_add(1, std::memory_order_relaxed);
    const int64_t spun = spinning.load(std::memory_order_relaxed);
    const int64_t blocked = blocking.load(std::memory_order_relaxed);
    // Each way is tried once before any comparison.
    if (blocked == 0)
        return false;
    if (spun == 0)
        return true;
    // Spinning only when it was strictly faster: it costs a core.
    const bool faster = spun < blocked;
    return n % exploreEvery == exploreEvery - 1 ? !faster : faster;
}

void AdaptiveSpin::record(bool spun, Clock::duration waited)
{
    const int64_t cap = std::chrono::duration_cast<std::chrono::nanoseconds>(2 * spinLimit).count();
    const int64_t sample =
        std::clamp<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count(), 1, cap);
    std::atomic<int64_t>& average = spun ? spinning : blocking;
    average.store(blend(average.load(std::memory_order_relaxed), sample), std::memory_order_relaxed);
}

void AdaptiveSpin::relax()
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

} // namespace ktremote
