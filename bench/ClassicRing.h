#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

namespace ktremote::bench {

// The textbook single-producer/single-consumer ring that the sample rings
// are measured against: one item per push and per pop, each publishing its
// index; a push into a full ring fails. C + 1 slots, cache-line separated
// indexes, a cached copy of the other side's index, and a release store per
// item.
class ClassicRing {
public:
    explicit ClassicRing(size_t capacity) : slots_(capacity + 1) {}

    bool push(double value)
    {
        const size_t w = write_.load(std::memory_order_relaxed);
        const size_t next = w + 1 == slots_.size() ? 0 : w + 1;
        if (next == readCache_) {
            readCache_ = read_.load(std::memory_order_acquire);
            if (next == readCache_)
                return false;
        }
        slots_[w] = value;
        write_.store(next, std::memory_order_release);
        return true;
    }

    bool pop(double& value)
    {
        const size_t r = read_.load(std::memory_order_relaxed);
        if (r == writeCache_) {
            writeCache_ = write_.load(std::memory_order_acquire);
            if (r == writeCache_)
                return false;
        }
        value = slots_[r];
        read_.store(r + 1 == slots_.size() ? 0 : r + 1, std::memory_order_release);
        return true;
    }

private:
    std::vector<double> slots_;
    alignas(64) std::atomic<size_t> write_{0};
    alignas(64) size_t readCache_ = 0;
    alignas(64) std::atomic<size_t> read_{0};
    alignas(64) size_t writeCache_ = 0;
};

} // namespace ktremote::bench
