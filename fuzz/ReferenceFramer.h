// SPDX-License-Identifier: MIT
#pragma once

#include "net/BlockDecoder.h"
#include "net/PacketBudget.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ktremote::fuzz {

// The framer as it was before blocks were decoded as they arrive: it holds
// each packet whole and hands its body to BlockDecoder::decodePacket() once
// the end marker has arrived. The framing rules are those of
// net/PacketFramer.h. Kept unchanged as the reference that
// fuzz_packet_stream compares PacketFramer with; not used by the library.
class ReferenceFramer {
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
    explicit ReferenceFramer(BlockDecoder& decoder, size_t initialCapacity = kInitialCapacity,
                             PacketBudget* budget = nullptr);
    virtual ~ReferenceFramer();
    ReferenceFramer(const ReferenceFramer&) = delete;
    ReferenceFramer& operator=(const ReferenceFramer&) = delete;

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

} // namespace ktremote::fuzz
