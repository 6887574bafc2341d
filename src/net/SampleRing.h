// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

// Stores that bypass the caches, where the ring can use them: x86-64, and not
// under ThreadSanitizer, which does not see such stores (the ring then uses
// ordinary stores, so that the race checks cover the same protocol).
#if defined(__SANITIZE_THREAD__)
#define KTREMOTE_RING_STREAMS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KTREMOTE_RING_STREAMS 0
#endif
#endif
#if !defined(KTREMOTE_RING_STREAMS)
#if defined(__x86_64__) || defined(_M_X64)
#define KTREMOTE_RING_STREAMS 1
#else
#define KTREMOTE_RING_STREAMS 0
#endif
#endif
#if KTREMOTE_RING_STREAMS
#include <immintrin.h>
#endif

namespace ktremote {

// The cache line size the ring lays its indexes and slots out for (x86 and
// most ARM cores).
inline constexpr size_t kCacheLineSize = 64;

// Bounded single-producer/single-consumer ring of samples that drops the
// oldest samples when it is full.
//
// A ring has a value lane and, for channels whose samples carry their own
// timestamps, a time lane. Both lanes share one pair of indexes, so a value
// and its timestamp are published, taken and dropped together: a reader can
// never get a value without its own timestamp.
//
// Indexes are monotonic 64-bit item counters (slot = counter % capacity); at
// a billion samples a second they would wrap after five centuries.
//   headIndex  items published (producer writes, consumer reads)
//   claimMark  items published or being written (producer writes, consumer reads)
//   tailIndex  items taken (consumer writes, producer reads)
// A counter is also the stream index of the next item on its side, so a read
// can tell where in the stream its items are, dropped items counted.
// The producer never moves tailIndex. When it must overwrite unread items it just
// does, after announcing the overwrite in claimMark; a reader that raced with the
// overwrite finds out from claimMark afterwards and discards what it copied from
// the overwritten slots. The slots are atomics, so a racing copy is never a
// data race, only a value that gets discarded.
//
// Memory ordering:
//  * write(): claimMark is stored, then the slots with release stores (put()),
//    then headIndex with release. A reader that sees headIndex sees the slots below
//    it. A reader whose acquire load of a slot observed an overwrite also
//    observes the claimMark that announced it, which was stored before.
//  * The producer loads tailIndex (acquire) before storing claimMark. If it sees the
//    reader's new tailIndex, that reader's claimMark check came before (the reader
//    checks, then stores tailIndex with release), so it could not have discarded
//    anything because of this write. Therefore a reader discards samples only
//    when the producer reported the write as dropping unread samples: a lost
//    sample is always reported.
//  * read(): headIndex is loaded with acquire, the slots are copied with acquire
//    loads, then claimMark is loaded to validate the copy; tailIndex is published
//    once with release at the end of the read.
// On x86 release stores and acquire loads are plain moves, so the per-slot
// ordering costs nothing there; no standalone fence is needed.
//
// Streamed writes: a large batch into a ring larger than the caches is better
// stored past them (putStreamed()). An ordinary store first reads the line it
// writes from memory and then evicts other data; by the time a reader comes,
// the line has left the caches anyway. Streaming stores are not ordered with
// other stores, so write() fences them in: claimMark is visible before any
// of them, and all of them before headIndex, which keeps the order above.
//
// Indexes, the producer's and the consumer's cached copy of the other side's
// index each live on their own cache line, and each lane carries spare items
// before its first and after its last slot, so the slots share no cache line
// with other memory (checked by the compiler, see checkLayout()). Nothing is
// allocated after construction.
class alignas(kCacheLineSize) SampleRing {
public:
    using Slot = std::atomic<double>;

    // How the items of one write reach their slots: ordinary stores
    // (put()), or stores past the caches (putStreamed()).
    enum class Stores { Cached, Streamed };

    // Below these, a write stays in the caches: a small batch is read soon,
    // a small ring stays in a cache between writes.
    static constexpr size_t kStreamedBatch = 1024;
    static constexpr size_t kStreamedCapacity = size_t{1} << 16;

    SampleRing(size_t capacity, bool withTimes)
        : slotCapacity(capacity < 1 ? 1 : capacity), valueLane(slotCapacity), timeLane(withTimes ? slotCapacity : 0),
          valueSlots(valueLane.slots), timeSlots(timeLane.slots)
    {
    }

    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    size_t capacity() const noexcept { return slotCapacity; }

    // Producer. Appends a batch of `count` items and publishes them at once.
    // fill(values, times, first, n) must store items first .. first + n - 1
    // of the batch into values[0 .. n) (and times[0 .. n) when the ring has
    // a time lane; times is null otherwise) with put(). It is called
    // for at most two contiguous spans. When the batch is larger than the
    // ring, only its newest `capacity` items are filled.
    // Returns true when unread items were dropped to make room.
    // With Stores::Streamed the fill function stores with putStreamed() or
    // putStreamedRun().
    template <class Fill>
    [[nodiscard]] bool write(size_t count, Fill&& fill, Stores stores = Stores::Cached)
    {
        if (count == 0)
            return false;
        const uint64_t head = headIndex.load(std::memory_order_relaxed);
        const uint64_t end = head + count;
        bool dropped = false;
        if (end - tailCache > slotCapacity) {
            tailCache = tailIndex.load(std::memory_order_acquire);
            dropped = end - tailCache > slotCapacity;
        }
        claimMark.store(end, std::memory_order_relaxed);
        if (stores == Stores::Streamed)
            storeFence();

        const size_t skip = count > slotCapacity ? count - slotCapacity : 0;
        const size_t n = count - skip;
        const size_t slot = static_cast<size_t>((head + skip) % slotCapacity);
        const size_t first = std::min(n, slotCapacity - slot);
        fill(valueSlots + slot, timeSlots ? timeSlots + slot : nullptr, skip, first);
        if (first < n)
            fill(valueSlots, timeSlots, skip + first, n - first);

        if (stores == Stores::Streamed)
            storeFence();
        headIndex.store(end, std::memory_order_release);
        return dropped;
    }

    // Producer: stores one item into a slot handed to the fill function.
    static void put(Slot& slot, double value) { slot.store(value, std::memory_order_release); }

    // Producer: the same past the caches, in a write with Stores::Streamed.
    // Where the ring cannot stream, this is put().
    static void putStreamed(Slot& slot, double value)
    {
#if KTREMOTE_RING_STREAMS
        long long bits;
        std::memcpy(&bits, &value, sizeof bits);
        _mm_stream_si64(reinterpret_cast<long long*>(&slot), bits);
#else
        put(slot, value);
#endif
    }

    // Producer: stores values[0 .. n) into slots[0 .. n) past the caches, in
    // a write with Stores::Streamed. Two slots go in one 16-byte store where
    // they share an aligned pair: a streamed store costs about the same
    // whatever its width, and the stores are what limits a large batch.
    static void putStreamedRun(Slot* slots, const double* values, size_t n)
    {
#if KTREMOTE_RING_STREAMS
        size_t i = 0;
        if (n > 0 && reinterpret_cast<uintptr_t>(slots) % 16 != 0) {
            putStreamed(slots[0], values[0]);
            i = 1;
        }
        for (; i + 2 <= n; i += 2)
            _mm_stream_pd(reinterpret_cast<double*>(slots + i), _mm_loadu_pd(values + i));
        if (i < n)
            putStreamed(slots[i], values[i]);
#else
        for (size_t i = 0; i < n; ++i)
            put(slots[i], values[i]);
#endif
    }

    // Producer: put() or putStreamed(), chosen at compile time.
    template <Stores S>
    static void store(Slot& slot, double value)
    {
        if constexpr (S == Stores::Streamed)
            putStreamed(slot, value);
        else
            put(slot, value);
    }

    // Producer: how a write of `batch` items should store them.
    Stores storesFor(size_t batch) const
    {
        return KTREMOTE_RING_STREAMS && batch >= kStreamedBatch && slotCapacity >= kStreamedCapacity ? Stores::Streamed
                                                                                                     : Stores::Cached;
    }

    // Producer. Room left before unread items would be dropped; for
    // producers that would rather wait than drop (the decoder never waits).
    size_t writable() const
    {
        const uint64_t used = headIndex.load(std::memory_order_relaxed) - tailIndex.load(std::memory_order_acquire);
        return used >= slotCapacity ? 0 : static_cast<size_t>(slotCapacity - used);
    }

    // Items written since construction, dropped ones included.
    uint64_t written() const { return headIndex.load(std::memory_order_acquire); }

    // Consumer. Moves up to `max` of the oldest unread items into values (and
    // into times, when the ring has a time lane and times is not null) and
    // returns how many it moved. Items the producer dropped are skipped. The
    // items of one read are consecutive in the stream: when a gap opens after
    // some were moved, the read ends there and the next read starts after the
    // gap. `first`, when not null, receives the stream index of the first
    // item moved, that is the number of items written before it, dropped ones
    // included (unchanged when nothing was moved).
    size_t read(double* values, double* times, size_t max, uint64_t* first = nullptr)
    {
        uint64_t tail = tailIndex.load(std::memory_order_relaxed);
        uint64_t start = tail;
        size_t done = 0;
        // A copy that loses items to a concurrent overwrite is retried for
        // the newer items, a few times at most, so that a read never spins.
        for (int attempt = 0; attempt < 4 && done < max; ++attempt) {
            const size_t want = max - done;
            if (headCache - tail < want)
                headCache = headIndex.load(std::memory_order_acquire);
            uint64_t available = headCache - tail;
            if (available == 0)
                break;
            if (available > slotCapacity) { // the oldest ones were overwritten already
                if (done > 0)
                    break;
                tail = headCache - slotCapacity;
                available = slotCapacity;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(available, want));
            copyOut(tail, n, values + done, times ? times + done : nullptr);

            const uint64_t claim = claimMark.load(std::memory_order_relaxed);
            size_t lost = 0;
            if (claim > tail + slotCapacity) {
                if (done > 0) // the copy lost its front: what was moved so far ends this read
                    break;
                lost = static_cast<size_t>(std::min<uint64_t>(n, claim - slotCapacity - tail));
                discardFront(values, times, n, lost);
            }
            if (done == 0)
                start = tail + lost;
            tail += n;
            done += n - lost;
            if (lost == 0)
                break;
            // The producer has moved on: the retry starts from where it is
            // now, not from a cached head that may lie further back than
            // the ring holds (with which every retry could lose all it
            // copied, and a read return nothing while items wait).
            headCache = headIndex.load(std::memory_order_acquire);
        }
        tailIndex.store(tail, std::memory_order_release);
        if (first && done > 0)
            *first = start;
        return done;
    }

    // Consumer. Items waiting to be read (at most the capacity).
    size_t readable() const
    {
        const uint64_t available =
            headIndex.load(std::memory_order_acquire) - tailIndex.load(std::memory_order_relaxed);
        return static_cast<size_t>(std::min<uint64_t>(available, slotCapacity));
    }

private:
    static constexpr size_t kSpare = 8; // spare items before and after the slots

    // The slot array of one lane, aligned to a cache line, with kSpare items
    // on either side. A lane of capacity 0 has no slots.
    struct Lane {
        explicit Lane(size_t capacity)
        {
            if (capacity == 0)
                return;
            const size_t items = capacity + 2 * kSpare;
            Slot* raw = static_cast<Slot*>(::operator new (items * sizeof(Slot), std::align_val_t{kCacheLineSize}));
            for (size_t i = 0; i < items; ++i)
                new (raw + i) Slot(0.0);
            slots = raw + kSpare;
        }
        ~Lane()
        {
            if (slots) // std::atomic<double> is trivially destructible
                ::operator delete (static_cast<void*>(slots - kSpare), std::align_val_t{kCacheLineSize});
        }
        Lane(const Lane&) = delete;
        Lane& operator=(const Lane&) = delete;

        Slot* slots = nullptr;
    };

    static void storeFence()
    {
#if KTREMOTE_RING_STREAMS
        _mm_sfence();
#endif
    }

    void copyOut(uint64_t from, size_t n, double* values, double* times) const
    {
        const size_t slot = static_cast<size_t>(from % slotCapacity);
        const size_t first = std::min(n, slotCapacity - slot);
        copyLane(valueSlots + slot, values, first);
        copyLane(valueSlots, values + first, n - first);
        if (times && timeSlots) {
            copyLane(timeSlots + slot, times, first);
            copyLane(timeSlots, times + first, n - first);
        }
    }

    static void copyLane(const Slot* from, double* to, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            to[i] = from[i].load(std::memory_order_acquire);
    }

    static void discardFront(double* values, double* times, size_t n, size_t lost)
    {
        std::memmove(values, values + lost, (n - lost) * sizeof(double));
        if (times)
            std::memmove(times, times + lost, (n - lost) * sizeof(double));
    }

    // The layout described at the top, checked where the class is complete:
    // each group of members below starts a cache line of its own, and the
    // spare items of a lane cover a whole line. Never called.
    static void checkLayout()
    {
        static_assert(std::is_standard_layout_v<SampleRing>, "offsetof needs a standard-layout class");
        static_assert(alignof(SampleRing) == kCacheLineSize);
        static_assert(sizeof(SampleRing) % kCacheLineSize == 0);
        static_assert(offsetof(SampleRing, headIndex) == 0);
        static_assert(offsetof(SampleRing, claimMark) + sizeof(claimMark) <= kCacheLineSize,
                      "claimMark shares headIndex's line");
        static_assert(offsetof(SampleRing, tailCache) == 1 * kCacheLineSize);
        static_assert(offsetof(SampleRing, tailIndex) == 2 * kCacheLineSize);
        static_assert(offsetof(SampleRing, headCache) == 3 * kCacheLineSize);
        static_assert(offsetof(SampleRing, slotCapacity) == 4 * kCacheLineSize);
        static_assert(sizeof(Slot) == sizeof(double));
#if KTREMOTE_RING_STREAMS
        static_assert(Slot::is_always_lock_free, "putStreamed() writes a slot's bytes in place");
#endif
        static_assert(kSpare * sizeof(Slot) >= kCacheLineSize, "the spare items must cover a cache line");
    }

    // Producer line: written only by the producer.
    alignas(kCacheLineSize) std::atomic<uint64_t> headIndex{0};
    std::atomic<uint64_t> claimMark{0};
    // Producer's copy of tailIndex, reloaded only when the ring looks full.
    alignas(kCacheLineSize) uint64_t tailCache = 0;
    // Consumer line.
    alignas(kCacheLineSize) std::atomic<uint64_t> tailIndex{0};
    // Consumer's copy of headIndex, reloaded only when it does not cover a read.
    alignas(kCacheLineSize) uint64_t headCache = 0;
    // Read-only after construction.
    alignas(kCacheLineSize) const size_t slotCapacity;
    const Lane valueLane;
    const Lane timeLane;
    Slot* const valueSlots;
    Slot* const timeSlots;
};

} // namespace ktremote
