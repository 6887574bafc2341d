// SPDX-License-Identifier: MIT
#include "net/BlockDecoder.h"

#include <algorithm>
#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the packet decoder reads little-endian numbers in place"
#endif

namespace ktremote {

namespace {

using Slot = SampleRing::Slot;
using Stores = SampleRing::Stores;

template <typename T>
T load(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Values of a streamed write are converted into this many doubles on the
// stack (they stay in the L1 cache), then stored into their slots in pairs.
constexpr size_t kStagedValues = 256;

// Converts `count` samples starting at sample `first` into slots, storing
// them the way S says. `convert` turns one raw sample into its value.
template <typename Raw, Stores S, class Convert>
void copyConverted(const uint8_t* samples, size_t first, size_t count, Slot* to, Convert convert)
{
    const uint8_t* p = samples + first * sizeof(Raw);
    if constexpr (S == Stores::Streamed) {
        double staged[kStagedValues];
        for (size_t done = 0; done < count;) {
            const size_t n = std::min(count - done, kStagedValues);
            for (size_t i = 0; i < n; ++i)
                staged[i] = convert(load<Raw>(p + (done + i) * sizeof(Raw)));
            SampleRing::putStreamedRun(to + done, staged, n);
            done += n;
        }
    } else {
        for (size_t i = 0; i < count; ++i)
            SampleRing::put(to[i], convert(load<Raw>(p + i * sizeof(Raw))));
    }
}

template <typename Raw, Stores S>
void copyPlain(const uint8_t* samples, size_t first, size_t count, Slot* to)
{
    copyConverted<Raw, S>(samples, first, count, to, [](Raw raw) { return static_cast<double>(raw); });
}

struct Scaling {
    double scale1, offset1, scale2, offset2;
};

// The scaled forms are instantiated per combination of the two optional
// steps, so that the inner loops carry no branch.
template <typename Raw, Stores S, bool WithScale2, bool WithOffset2>
void copyScaled(const uint8_t* samples, size_t first, size_t count, Slot* to, const Scaling& s)
{
    copyConverted<Raw, S>(samples, first, count, to, [&s](Raw raw) {
        double v = static_cast<double>(raw) * s.scale1 + s.offset1;
        if (WithScale2)
            v *= s.scale2;
        if (WithOffset2)
            v += s.offset2;
        return v;
    });
}

template <typename Raw, Stores S>
void copyScaled(const uint8_t* samples, size_t first, size_t count, Slot* to, const Scaling& s)
{
    if (s.scale2 != 0.0) {
        if (s.offset2 != 0.0)
            copyScaled<Raw, S, true, true>(samples, first, count, to, s);
        else
            copyScaled<Raw, S, true, false>(samples, first, count, to, s);
    } else {
        if (s.offset2 != 0.0)
            copyScaled<Raw, S, false, true>(samples, first, count, to, s);
        else
            copyScaled<Raw, S, false, false>(samples, first, count, to, s);
    }
}

template <Stores S>
void copySamples(int32_t dataType, const uint8_t* samples, size_t first, size_t count, Slot* to, const Scaling& s)
{
    switch (dataType) {
    case 0:
    case 1: copyScaled<uint8_t, S>(samples, first, count, to, s); break;
    case 2: copyScaled<int16_t, S>(samples, first, count, to, s); break;
    case 3: copyScaled<uint16_t, S>(samples, first, count, to, s); break;
    case 4: copyScaled<int32_t, S>(samples, first, count, to, s); break;
    case 5: copyPlain<float, S>(samples, first, count, to); break;
    case 6: copyPlain<int64_t, S>(samples, first, count, to); break;
    case 7: copyPlain<double, S>(samples, first, count, to); break;
    default: break;
    }
}

// One block's samples, and their times where the ring has a time lane.
struct BlockData {
    int32_t dataType;
    const uint8_t* samples;
    const uint8_t* timestamps; // async blocks: behind the samples
    bool single;               // a single value is timed by its packet
    double packetTime;
    Scaling scaling;
};

template <Stores S>
void fillSlots(const BlockData& block, Slot* values, Slot* times, size_t first, size_t count)
{
    copySamples<S>(block.dataType, block.samples, first, count, values, block.scaling);
    if (!times)
        return;
    if (block.single) {
        for (size_t i = 0; i < count; ++i)
            SampleRing::store<S>(times[i], block.packetTime);
    } else {
        copyPlain<double, S>(block.timestamps, first, count, times);
    }
}

} // namespace

NETChannelBuffer& BlockDecoder::addBuffer(std::unique_ptr<NETChannelBuffer> buffer)
{
    channelBuffers.push_back(std::move(buffer));
    NETChannelBuffer& added = *channelBuffers.back();
    byId.emplace(added.id, &added); // keeps the first buffer of an id
    return added;
}

NETChannelBuffer* BlockDecoder::findBuffer(const std::string& id) const
{
    const auto found = byId.find(id);
    return found == byId.end() ? nullptr : found->second;
}

int64_t BlockDecoder::blockLength(ChannelKind kind, int32_t sampleSize, int32_t n)
{
    if (n < 0)
        return -1;
    const int64_t count = n;
    switch (kind) {
    case ChannelKind::Sync: return 4 + count * sampleSize;
    case ChannelKind::Async: return 4 + count * (sampleSize + 8);
    case ChannelKind::SingleValue: return n > 1 ? -1 : 4 + sampleSize;
    }
    return -1;
}

double BlockDecoder::packetTime(const uint8_t* body) { return load<double>(body + kPacketTimeOffset); }

bool BlockDecoder::decodePacket(const uint8_t* body, size_t size)
{
    if (size < kHeaderSize)
        return false;
    const double time = packetTime(body);
    size_t p = kHeaderSize;
    for (size_t index = 0; index < channelBuffers.size(); ++index) {
        const NETChannelBuffer& buffer = *channelBuffers[index];
        if (size - p < 4)
            return false;
        const int64_t length = blockLength(buffer.kind, buffer.sampleSize, load<int32_t>(body + p));
        if (length < 0 || static_cast<uint64_t>(length) > size - p)
            return false;
        decodeBlock(index, body + p, time);
        p += static_cast<size_t>(length);
    }
    return true;
}

void BlockDecoder::decodeBlock(size_t index, const uint8_t* block, double packetTime)
{
    NETChannelBuffer& buffer = *channelBuffers[index];
    const int32_t n = load<int32_t>(block);
    if (n <= 0 && buffer.kind != ChannelKind::SingleValue)
        return;
    if (firstBlock) {
        // Relaxed is enough: the host reads the start time after it has
        // acquired a sample through a ring, whose release store comes after
        // this one.
        acquisitionStartTime.store(packetTime, std::memory_order_relaxed);
        firstBlock = false;
    }
    storeSamples(buffer, block + 4, static_cast<size_t>(n), packetTime);
}

void BlockDecoder::storeSamples(NETChannelBuffer& buffer, const uint8_t* data, size_t n, double packetTime)
{
    if (buffer.dataType < 0 || buffer.dataType > 7 || n == 0)
        return;
    const BlockData block{buffer.dataType,
                          data,
                          data + n * static_cast<size_t>(buffer.sampleSize),
                          buffer.kind == ChannelKind::SingleValue,
                          packetTime,
                          {buffer.scale1, buffer.offset1, buffer.scale2, buffer.offset2}};
    SampleRing& ring = buffer.ring();
    const Stores stores = ring.storesFor(n);
    const bool dropped = ring.write(
        n,
        [&](Slot* values, Slot* times, size_t first, size_t count) {
            if (stores == Stores::Streamed)
                fillSlots<Stores::Streamed>(block, values, times, first, count);
            else
                fillSlots<Stores::Cached>(block, values, times, first, count);
        },
        stores);
    if (dropped)
        overflowSeen.store(true, std::memory_order_relaxed);
}

} // namespace ktremote
