// SPDX-License-Identifier: MIT
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
    explicit ClassicRing(size_t capacity) : slots(capacity + 1) {}

    bool push(double value)
    {
        const size_t w = write.load(std::memory_order_relaxed);
        const size_t next = w + 1 == slots.size() ? 0 : w + 1;
        if (next == readCache) {
            readCache = read.load(std::memory_order_acquire);
            if (next == readCache)
                return false;
        }
        slots[w] = value;
        write.store(next, std::memory_order_release);
        return true;
    }

    bool pop(double& value)
    {
        const size_t r = read.load(std::memory_order_relaxed);
        if (r == writeCache) {
            writeCache = write.load(std::memory_order_acquire);
            if (r == writeCache)
                return false;
        }
        value = slots[r];
        read.store(r + 1 == slots.size() ? 0 : r + 1, std::memory_order_release);
        return true;
    }

private:
    std::vector<double> slots;
    alignas(64) std::atomic<size_t> write{0};
    alignas(64) size_t readCache = 0;
    alignas(64) std::atomic<size_t> read{0};
    alignas(64) size_t writeCache = 0;
};

} // namespace ktremote::bench
