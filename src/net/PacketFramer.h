// SPDX-License-Identifier: MIT
#pragma once

#include "net/BlockDecoder.h"
#include "net/PacketBudget.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ktremote {

// Cuts the byte stream of one data connection into packets and hands each
// packet body to the decoder as soon as its last byte has arrived.
//
// A packet is the start marker 00 01 02 03 04 05 06 07, the body, and the end
// marker 07 06 05 04 03 02 01 00, recognised by its first seven bytes. The
// end-marker bytes can also occur inside samples (the int16 ramp 1543, 1029,
// 515, 1 spells the whole marker), so the framer walks the block counts of
// the body as they arrive: the packet ends at the first end marker at or
// behind the end of all blocks. A marker inside the blocks is sample data,
// unless a start marker follows it right away: then the blocks run past the
// end of the packet (malformed, decoded up to the faulty block) and the next
// packet begins there. The same holds when the start marker comes further
// on, before the end marker behind the blocks (bytes between the packets
// after a malformed one); so a packet whose samples hold both marker
// sequences, end before start, is cut short at the first. A marker that
// starts inside the 28-byte header ends the packet (a body shorter than its
// header: nothing is decoded from it).
// When the walk meets an impossible count, the packet ends at the first
// marker at or behind that count.
//
// Bytes before a start marker are discarded at once. A packet that grows past
// kMaxPacketBytes (64 MiB, markers included) without an end marker, or whose
// blocks add up to more than that, is dropped: a broken or hostile peer
// cannot make the library buffer without bound. With a PacketBudget, the
// unfinished packet is also dropped when its bytes beyond kUnbudgetedBytes
// do not fit in what the budget has left. A dropped packet gives its grown
// buffer back.
//
// One framer per connection; it runs on the I/O thread (or any one thread).
// After warm-up the buffer no longer grows and nothing is allocated.
class PacketFramer {
public:
    static constexpr size_t kMaxPacketBytes = size_t{64} << 20;
    static constexpr size_t kInitialCapacity = size_t{256} << 10;
    // Bytes of an unfinished packet that are not charged to a budget.
    static constexpr size_t kUnbudgetedBytes = kInitialCapacity;

    struct Stats {
        uint64_t packets = 0;        // packets handed to the decoder
        uint64_t malformed = 0;      // of those, decoded only up to a fault
        uint64_t oversized = 0;      // packets dropped for the size cap
        uint64_t discardedBytes = 0; // bytes outside packets, and dropped packets
    };

    // The budget, when given, must outlive the framer.
    explicit PacketFramer(BlockDecoder& decoder, size_t initialCapacity = kInitialCapacity,
                          PacketBudget* budget = nullptr);
    virtual ~PacketFramer();
    PacketFramer(const PacketFramer&) = delete;
    PacketFramer& operator=(const PacketFramer&) = delete;

    // Appends received bytes and decodes every packet they complete.
    void append(const uint8_t* data, size_t size);

    // The same without a copy: receive into prepare(size), which has room
    // for at least `size` bytes, then commit the number of bytes received.
    uint8_t* prepare(size_t size);
    void commit(size_t size);

    // Bytes held back: an unfinished packet, or the tail of a possible start
    // marker.
    size_t pendingBytes() const { return receivedEnd - unframedBegin; }
    const Stats& stats() const { return frameStats; }

protected:
    // Hands one packet body (the bytes between its markers, which lie right
    // before and after it in the framer's buffer) to the decoder; false when
    // it was malformed. A subclass may look at each body on its way (the
    // fuzz target checks where the framer cut it).
    virtual bool decodeBody(const uint8_t* body, size_t size);

private:
    void frame();
    bool seekStart();
    size_t findPacketEnd(const uint8_t* body, size_t available);
    size_t checkedEnd(const uint8_t* body, size_t end) const;
    void walkBlocks(const uint8_t* body, size_t available);
    bool dropIfOversized();
    bool fitsBudget(size_t held);
    void settleBudget();

    BlockDecoder& blockDecoder;
    PacketBudget* packetBudget;
    size_t budgetCharge = 0; // what this framer holds of the budget
    size_t initialBufferCapacity;
    std::unique_ptr<uint8_t[]> bufferData;
    size_t bufferCapacity = 0;
    size_t unframedBegin = 0; // first byte not yet framed
    size_t receivedEnd = 0;   // one past the last byte received

    // The packet at unframedBegin, once its start marker was found. Offsets below
    // are relative to its body (unframedBegin + 8), so moving the buffer keeps them.
    bool inPacket = false;
    size_t scanPos = 0;     // no end marker of this packet starts before here
    size_t walkPos = 0;     // end of the blocks walked so far
    size_t walkChannel = 0; // next block to walk
    bool walkDone = false;  // all blocks walked: walkPos is their end
    bool walkFault = false; // impossible count at walkPos
    size_t innerEnd = 0;    // first end marker taken for sample data (or none)

    Stats frameStats;
};

} // namespace ktremote
