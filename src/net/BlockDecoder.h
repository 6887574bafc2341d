// SPDX-License-Identifier: MIT
#pragma once

#include "net/NETChannelBuffer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace ktremote {

// Decodes packet bodies into the channel buffers of one measurement.
//
// A packet body is a 28-byte header (the packet time, in days, is the
// float64 at offset 20; the rest is not used) followed by one block per
// channel buffer, in the order the buffers were added. A block is an int32
// count n followed by
//   synchronous:   n samples
//   asynchronous:  n samples, then n float64 timestamps in seconds
//   single value:  one sample, whatever n is (n is 0 or 1); it is stored
//                  with the packet time, which times it
// All numbers are little-endian. Samples of data types 0 to 4 are scaled
// (raw * scale1 + offset1, then * scale2 and + offset2 unless those are 0);
// types 5 to 7 are taken as they are; blocks of other types are skipped.
//
// A malformed packet (a body shorter than the header, a block that runs past
// the body, a negative count, a count above 1 in a single-value block) keeps
// what was decoded before the fault; the rest of it is skipped.
//
// The decoder runs on the I/O thread. The host reads the buffers, the start
// time and the overflow flag concurrently; see the comments on each.
class BlockDecoder {
public:
    static constexpr size_t kHeaderSize = 28;
    static constexpr size_t kPacketTimeOffset = 20;

    BlockDecoder() = default;
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    // Adds the buffer for the next block of every packet. Only before the
    // first packet is decoded.
    NETChannelBuffer& addBuffer(std::unique_ptr<NETChannelBuffer> buffer);

    // Decodes one packet body. Returns false when the packet was malformed.
    bool decodePacket(const uint8_t* body, size_t size);

    // Length of a block with count n, or -1 when n is impossible for the
    // block's kind. The framer walks packets with the same rule.
    static int64_t blockLength(ChannelKind kind, int32_t sampleSize, int32_t n);

    size_t bufferCount() const { return channelBuffers.size(); }
    NETChannelBuffer& buffer(size_t index) { return *channelBuffers[index]; }
    const NETChannelBuffer& buffer(size_t index) const { return *channelBuffers[index]; }
    // The first buffer added with this id, or null. A hash lookup, so that a
    // host reading each of a thousand channels does not compare ids a
    // thousand times per read. Host thread, after the buffers are added.
    NETChannelBuffer* findBuffer(const std::string& id) const;

    // Packet time of the first decoded block, in days; 0 before it. Stored
    // before the block's samples are published, so a host that has read a
    // sample sees the start time that belongs to it.
    double startTime() const { return acquisitionStartTime.load(std::memory_order_relaxed); }
    const std::atomic<double>& startTimeSource() const { return acquisitionStartTime; }

    // Set when any ring dropped unread samples; never cleared.
    bool overflowed() const { return overflowSeen.load(std::memory_order_relaxed); }

private:
    void decodeBlock(NETChannelBuffer& buffer, const uint8_t* data, size_t n, double packetTime);

    std::vector<std::unique_ptr<NETChannelBuffer>> channelBuffers;
    std::unordered_map<std::string, NETChannelBuffer*> byId;
    bool firstBlock = true; // I/O thread only
    std::atomic<double> acquisitionStartTime{0.0};
    std::atomic<bool> overflowSeen{false};
};

} // namespace ktremote
