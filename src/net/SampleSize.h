// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace ktremote {

// Bytes per sample on the wire for a data type code: 1 for codes 0 and 1,
// 2 for 2 and 3, 4 for 4 and 5, 8 for 6 and 7. Codes without an encoding of
// their own take `fallback` when it is positive, else 4.
constexpr int32_t sampleSizeOf(int32_t dataType, int32_t fallback = 0)
{
    switch (dataType) {
    case 0:
    case 1: return 1;
    case 2:
    case 3: return 2;
    case 4:
    case 5: return 4;
    case 6:
    case 7: return 8;
    default: return fallback > 0 ? fallback : 4;
    }
}

} // namespace ktremote
