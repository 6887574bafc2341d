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
    : decoder_(decoder), budget_(budget), initialCapacity_(std::max<size_t>(initialCapacity, 64)),
      data_(new uint8_t[initialCapacity_]), capacity_(initialCapacity_)
{
}

PacketFramer::~PacketFramer()
{
    if (budget_)
        budget_->recharge(charge_, 0);
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
    if (capacity_ - end_ >= size)
        return data_.get() + end_;
    const size_t live = end_ - begin_;
    // Moving the live bytes to the front costs at most what was consumed
    // since the last move, or is small anyway.
    if (capacity_ - live >= size && (live <= begin_ || live <= 4096)) {
        std::memmove(data_.get(), data_.get() + begin_, live);
    } else {
        const size_t capacity = std::max(capacity_ * 2, live + size);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        std::memcpy(grown.get(), data_.get() + begin_, live);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    begin_ = 0;
    end_ = live;
    return data_.get() + end_;
}

void PacketFramer::commit(size_t size)
{
    end_ += std::min(size, capacity_ - end_);
    frame();
}

bool PacketFramer::decodeBody(const uint8_t* body, size_t size) { return decoder_.decodePacket(body, size); }

bool PacketFramer::seekStart()
{
    const size_t held = end_ - begin_;
    const size_t at = findStartMarker(data_.get() + begin_, held);
    if (at == kNotFound) {
        // Keep what may be the beginning of a start marker.
        const size_t keep = std::min(held, kMarkerSize - 1);
        stats_.discardedBytes += held - keep;
        begin_ = end_ - keep;
        return false;
    }
    stats_.discardedBytes += at;
    begin_ += at;
    inPacket_ = true;
    scanPos_ = 0;
    walkPos_ = BlockDecoder::kHeaderSize;
    walkChannel_ = 0;
    walkDone_ = false;
    walkFault_ = false;
    innerEnd_ = kNotFound;
    return true;
}

void PacketFramer::walkBlocks(const uint8_t* body, size_t available)
{
    while (!walkDone_ && !walkFault_) {
        if (walkChannel_ == decoder_.bufferCount()) {
            walkDone_ = true;
            break;
        }
        if (available - std::min(available, walkPos_) < 4)
            break;
        int32_t n;
        std::memcpy(&n, body + walkPos_, sizeof n);
        const NETChannelBuffer& buffer = decoder_.buffer(walkChannel_);
        const int64_t length = BlockDecoder::blockLength(buffer.kind, buffer.sampleSize, n);
        if (length < 0 || static_cast<uint64_t>(length) > kMaxPacketBytes - walkPos_) {
            walkFault_ = true;
            break;
        }
        walkPos_ += static_cast<size_t>(length);
        ++walkChannel_;
    }
}

bool PacketFramer::dropIfOversized()
{
    const size_t held = end_ - begin_;
    if (held <= kMaxPacketBytes && fitsBudget(held))
        return false;
    ++stats_.oversized;
    stats_.discardedBytes += held;
    begin_ = end_ = 0;
    inPacket_ = false;
    // The memory the packet grew the buffer to goes back at once, instead of
    // staying resident for a connection that may never send such a packet
    // again.
    if (capacity_ > initialCapacity_) {
        data_.reset(new uint8_t[initialCapacity_]);
        capacity_ = initialCapacity_;
    }
    settleBudget();
    return true;
}

bool PacketFramer::fitsBudget(size_t held)
{
    return !budget_ || budget_->recharge(charge_, held > kUnbudgetedBytes ? held - kUnbudgetedBytes : 0);
}

// Brings the charge in line with the bytes held. It only shrinks here: every
// growth of an unfinished packet has passed fitsBudget().
void PacketFramer::settleBudget()
{
    if (!budget_)
        return;
    const size_t held = end_ - begin_;
    const size_t wanted = held > kUnbudgetedBytes ? held - kUnbudgetedBytes : 0;
    if (wanted < charge_)
        budget_->recharge(charge_, wanted);
}

void PacketFramer::frame()
{
    for (;;) {
        if (!inPacket_ && !seekStart())
            break;
        const uint8_t* body = data_.get() + begin_ + kMarkerSize;
        const size_t available = end_ - begin_ - kMarkerSize;
        const size_t end = findPacketEnd(body, available);
        if (end == kNotFound) {
            if (dropIfOversized())
                continue;
            break;
        }
        if (end + kMarkerSize > available) // the eighth marker byte is still to come
            break;

        ++stats_.packets;
        if (!decodeBody(body, end))
            ++stats_.malformed;
        begin_ += kMarkerSize + end + kMarkerSize;
        inPacket_ = false;
    }
    if (begin_ == end_)
        begin_ = end_ = 0;
    settleBudget();
}

size_t PacketFramer::findPacketEnd(const uint8_t* body, size_t available)
{
    for (;;) {
        const size_t at = findEndMarker(body, scanPos_, available);
        if (at == kNotFound) {
            scanPos_ = std::max(scanPos_, available - std::min(available, sizeof kEndMarker - 1));
            return kNotFound;
        }
        scanPos_ = at;
        if (at < BlockDecoder::kHeaderSize)
            return at; // a body shorter than its header
        walkBlocks(body, available);
        if (at >= walkPos_)
            // Behind the end of the blocks, or behind an impossible count. (A
            // marker behind walkPos_ means the count at walkPos_ has arrived,
            // so the walk cannot be waiting for it.)
            return checkedEnd(body, at);
        // Inside the blocks: sample data, unless the next packet starts right
        // behind it, in which case this packet's blocks run past its end.
        if (at + 2 * kMarkerSize > available)
            return kNotFound;
        if (std::memcmp(body + at + kMarkerSize, kStartMarker, kMarkerSize) == 0)
            return checkedEnd(body, at);
        if (innerEnd_ == kNotFound)
            innerEnd_ = at;
        scanPos_ = at + 1;
    }
}

// The first end marker inside the blocks was taken for sample data. If the
// next packet's start marker follows it before the end found now, it ended
// the packet after all: this packet's blocks ran on into bytes between the
// packets (garbage after a malformed packet), and taking the later end
// would swallow the next packet and decode its bytes as samples.
size_t PacketFramer::checkedEnd(const uint8_t* body, size_t end) const
{
    if (innerEnd_ == kNotFound)
        return end;
    const size_t from = innerEnd_ + kMarkerSize;
    if (from < end && findStartMarker(body + from, end - from) != kNotFound)
        return innerEnd_;
    return end;
}

} // namespace ktremote
