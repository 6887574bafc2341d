// SPDX-License-Identifier: MIT
#include "PacketEncoder.h"

#include <algorithm>
#include <cstring>

namespace ktsim {

double serialDays(double unixSeconds)
{
    constexpr double unixEpochSerialDay = 25569.0; // 1970-01-01
    return unixEpochSerialDay + unixSeconds / 86400.0;
}

void appendInt32(std::vector<std::uint8_t>& out, std::int32_t value)
{
    auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void appendFloat64(std::vector<std::uint8_t>& out, double value)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void PacketBuilder::begin(std::int32_t sequence, double timeDays)
{
    outBytes.insert(outBytes.end(), std::begin(startMarker), std::end(startMarker));
    bodyStart = outBytes.size();
    blocks = 0;
    appendInt32(outBytes, sequence);
    appendInt32(outBytes, 0); // block count, filled in by finish()
    appendInt32(outBytes, 0); // body length, filled in by finish()
    outBytes.insert(outBytes.end(), 8, 0);
    appendFloat64(outBytes, timeDays);
}

void PacketBuilder::count(std::int32_t n)
{
    ++blocks;
    appendInt32(outBytes, n);
}

void PacketBuilder::sample(const RawSample& raw)
{
    outBytes.insert(outBytes.end(), raw.bytes.begin(), raw.bytes.begin() + raw.size);
}

void PacketBuilder::timestamp(double seconds) { appendFloat64(outBytes, seconds); }

void PacketBuilder::finish()
{
    auto patch = [this](std::size_t at, std::int32_t value) {
        auto bits = static_cast<std::uint32_t>(value);
        for (int i = 0; i < 4; ++i)
            outBytes[at + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    };
    patch(bodyStart + 4, blocks);
    patch(bodyStart + 8, static_cast<std::int32_t>(outBytes.size() - bodyStart));
    outBytes.insert(outBytes.end(), std::begin(endMarker), std::end(endMarker));
}

bool containsEndMarker(const std::uint8_t* bytes, std::size_t size)
{
    // Every packet is checked, so let memchr jump to the candidates.
    constexpr std::size_t length = 7;
    const std::uint8_t* const end = bytes + size;
    for (const std::uint8_t* at = bytes; static_cast<std::size_t>(end - at) >= length; ++at) {
        at = static_cast<const std::uint8_t*>(
            std::memchr(at, endMarker[0], static_cast<std::size_t>(end - at) - (length - 1)));
        if (!at)
            return false;
        if (std::memcmp(at, endMarker, length) == 0)
            return true;
    }
    return false;
}

} // namespace ktsim
