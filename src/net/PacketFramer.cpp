// SPDX-License-Identifier: MIT
#include "net/PacketFramer.h"

#include <algorithm>
#include <cstring>

namespace ktremote {

namespace {

constexpr uint8_t kStartMarker[8] = {0, 1, 2, 3, 4, 5, 6, 7};
constexpr uint8_t kEndMarker[7] = {7, 6, 5, 4, 3, 2, 1}; // the eighth byte is not checked
constexpr size_t kMarkerSize = 8;
constexpr size_t kNotFound = static_cast<size_t>(-1);

// First offset >= from at which the `length` bytes of `marker` start within
// data[0 .. size), or kNotFound.
template <size_t length>
size_t findMarker(const uint8_t (&marker)[length], const uint8_t* data, size_t from, size_t size)
{
    while (from + length <= size) {
        const void* hit = std::memchr(data + from, marker[0], size - from - (length - 1));
        if (!hit)
            return kNotFound;
        const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
        if (std::memcmp(data + at + 1, marker + 1, length - 1) == 0)
            return at;
        from = at + 1;
    }
    return kNotFound;
}

// The seven recognised end-marker bytes, from `from` on.
size_t findEndMarker(const uint8_t* data, size_t from, size_t size) { return findMarker(kEndMarker, data, from, size); }

size_t findStartMarker(const uint8_t* data, size_t size) { return findMarker(kStartMarker, data, 0, size); }

} // namespace

PacketFramer::PacketFramer(BlockDecoder& decoder, size_t initialCapacity, PacketBudget* budget)
    : blockDecoder(decoder), packetBudget(budget), initialBufferCapacity(std::max<size_t>(initialCapacity, 64)),
      bufferData(new uint8_t[initialBufferCapacity]), bufferCapacity(initialBufferCapacity)
{
}

PacketFramer::~PacketFramer()
{
    if (packetBudget)
        packetBudget->recharge(budgetCharge, 0);
}

void PacketFramer::append(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    std::memcpy(prepare(size), data, size);
    commit(size);
}

uint8_t* PacketFramer::prepare(size_t size)
{
    if (bufferCapacity - receivedEnd >= size)
        return bufferData.get() + receivedEnd;
    const size_t live = receivedEnd - unframedBegin;
    // Moving the live bytes to the front costs at most what was consumed
    // since the last move, or is small anyway.
    if (bufferCapacity - live >= size && (live <= unframedBegin || live <= 4096)) {
        std::memmove(bufferData.get(), bufferData.get() + unframedBegin, live);
    } else {
        const size_t capacity = std::max(bufferCapacity * 2, live + size);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        std::memcpy(grown.get(), bufferData.get() + unframedBegin, live);
        bufferData = std::move(grown);
        bufferCapacity = capacity;
    }
    unframedBegin = 0;
    receivedEnd = live;
    return bufferData.get() + receivedEnd;
}

void PacketFramer::commit(size_t size)
{
    receivedEnd += std::min(size, bufferCapacity - receivedEnd);
    frame();
}

bool PacketFramer::decodeBody(const uint8_t* body, size_t size) { return blockDecoder.decodePacket(body, size); }

bool PacketFramer::seekStart()
{
    const size_t held = receivedEnd - unframedBegin;
    const size_t at = findStartMarker(bufferData.get() + unframedBegin, held);
    if (at == kNotFound) {
        // Keep what may be the beginning of a start marker.
        const size_t keep = std::min(held, kMarkerSize - 1);
        frameStats.discardedBytes += held - keep;
        unframedBegin = receivedEnd - keep;
        return false;
    }
    frameStats.discardedBytes += at;
    unframedBegin += at;
    inPacket = true;
    scanPos = 0;
    walkPos = BlockDecoder::kHeaderSize;
    walkChannel = 0;
    walkDone = false;
    walkFault = false;
    innerEnd = kNotFound;
    return true;
}

void PacketFramer::walkBlocks(const uint8_t* body, size_t available)
{
    while (!walkDone && !walkFault) {
        if (walkChannel == blockDecoder.bufferCount()) {
            walkDone = true;
            break;
        }
        if (available - std::min(available, walkPos) < 4)
            break;
        int32_t n;
        std::memcpy(&n, body + walkPos, sizeof n);
        const NETChannelBuffer& buffer = blockDecoder.buffer(walkChannel);
        const int64_t length = BlockDecoder::blockLength(buffer.kind, buffer.sampleSize, n);
        if (length < 0 || static_cast<uint64_t>(length) > kMaxPacketBytes - walkPos) {
            walkFault = true;
            break;
        }
        walkPos += static_cast<size_t>(length);
        ++walkChannel;
    }
}

bool PacketFramer::dropIfOversized()
{
    const size_t held = receivedEnd - unframedBegin;
    if (held <= kMaxPacketBytes && fitsBudget(held))
        return false;
    ++frameStats.oversized;
    frameStats.discardedBytes += held;
    unframedBegin = receivedEnd = 0;
    inPacket = false;
    // The memory the packet grew the buffer to goes back at once, instead of
    // staying resident for a connection that may never send such a packet
    // again.
    if (bufferCapacity > initialBufferCapacity) {
        bufferData.reset(new uint8_t[initialBufferCapacity]);
        bufferCapacity = initialBufferCapacity;
    }
    settleBudget();
    return true;
}

bool PacketFramer::fitsBudget(size_t held)
{
    return !packetBudget || packetBudget->recharge(budgetCharge, held > kUnbudgetedBytes ? held - kUnbudgetedBytes : 0);
}

// Brings the charge in line with the bytes held. It only shrinks here: every
// growth of an unfinished packet has passed fitsBudget().
void PacketFramer::settleBudget()
{
    if (!packetBudget)
        return;
    const size_t held = receivedEnd - unframedBegin;
    const size_t wanted = held > kUnbudgetedBytes ? held - kUnbudgetedBytes : 0;
    if (wanted < budgetCharge)
        packetBudget->recharge(budgetCharge, wanted);
}

void PacketFramer::frame()
{
    for (;;) {
        if (!inPacket && !seekStart())
            break;
        const uint8_t* body = bufferData.get() + unframedBegin + kMarkerSize;
        const size_t available = receivedEnd - unframedBegin - kMarkerSize;
        const size_t end = findPacketEnd(body, available);
        if (end == kNotFound) {
            if (dropIfOversized())
                continue;
            break;
        }
        if (end + kMarkerSize > available) // the eighth marker byte is still to come
            break;

        ++frameStats.packets;
        if (!decodeBody(body, end))
            ++frameStats.malformed;
        unframedBegin += kMarkerSize + end + kMarkerSize;
        inPacket = false;
    }
    if (unframedBegin == receivedEnd)
        unframedBegin = receivedEnd = 0;
    settleBudget();
}

size_t PacketFramer::findPacketEnd(const uint8_t* body, size_t available)
{
    for (;;) {
        const size_t at = findEndMarker(body, scanPos, available);
        if (at == kNotFound) {
            scanPos = std::max(scanPos, available - std::min(available, sizeof kEndMarker - 1));
            return kNotFound;
        }
        scanPos = at;
        if (at < BlockDecoder::kHeaderSize)
            return at; // a body shorter than its header
        walkBlocks(body, available);
        if (at >= walkPos)
            // Behind the end of the blocks, or behind an impossible count. (A
            // marker behind walkPos means the count at walkPos has arrived,
            // so the walk cannot be waiting for it.)
            return checkedEnd(body, at);
        // Inside the blocks: sample data, unless the next packet starts right
        // behind it, in which case this packet's blocks run past its end.
        if (at + 2 * kMarkerSize > available)
            return kNotFound;
        if (std::memcmp(body + at + kMarkerSize, kStartMarker, kMarkerSize) == 0)
            return checkedEnd(body, at);
        if (innerEnd == kNotFound)
            innerEnd = at;
        scanPos = at + 1;
    }
}

// The first end marker inside the blocks was taken for sample data. If the
// next packet's start marker follows it before the end found now, it ended
// the packet after all: this packet's blocks ran on into bytes between the
// packets (garbage after a malformed packet), and taking the later end
// would swallow the next packet and decode its bytes as samples.
size_t PacketFramer::checkedEnd(const uint8_t* body, size_t end) const
{
    if (innerEnd == kNotFound)
        return end;
    const size_t from = innerEnd + kMarkerSize;
    if (from < end && findStartMarker(body + from, end - from) != kNotFound)
        return innerEnd;
    return end;
}

} // namespace ktremote
