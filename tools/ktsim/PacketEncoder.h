// SPDX-License-Identifier: MIT
// Byte layout of the data stream.
//
//   start marker 00 01 02 03 04 05 06 07
//   body: int32 sequence number, int32 block count, int32 body length,
//         8 reserved bytes, float64 packet time in days, then one block per
//         channel:
//           sync:   int32 n, n samples
//           async:  int32 n, n samples, n float64 timestamps (seconds)
//           single: int32 n (0 or 1), one sample
//   end marker 07 06 05 04 03 02 01 00
//
// Everything is little-endian.
#pragma once

#include "SampleModel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ktsim {

inline constexpr std::uint8_t startMarker[8] = {0, 1, 2, 3, 4, 5, 6, 7};
inline constexpr std::uint8_t endMarker[8] = {7, 6, 5, 4, 3, 2, 1, 0};
inline constexpr std::size_t bodyHeaderSize = 28;

// Days from 1899-12-30 (the serial date used by spreadsheets) of a Unix time.
double serialDays(double unixSeconds);

class PacketBuilder {
public:
    // Appends to `out`, which may already hold earlier packets.
    explicit PacketBuilder(std::vector<std::uint8_t>& out) : outBytes(out) {}

    void begin(std::int32_t sequence, double timeDays);
    void count(std::int32_t n);
    void sample(const RawSample& raw);
    void timestamp(double seconds);
    // Fills in the block count and body length and appends the end marker.
    void finish();

private:
    std::vector<std::uint8_t>& outBytes;
    std::size_t bodyStart = 0;
    std::int32_t blocks = 0;
};

void appendInt32(std::vector<std::uint8_t>& out, std::int32_t value);
void appendFloat64(std::vector<std::uint8_t>& out, double value);

// True if `bytes` contain the seven bytes by which a host recognises the end
// marker; a body that does would be cut short by the host.
bool containsEndMarker(const std::uint8_t* bytes, std::size_t size);

} // namespace ktsim
