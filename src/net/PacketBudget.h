// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

namespace ktremote {

// The memory that all data connections of one receiver may spend on packets
// they have not finished receiving. Each connection's framer charges the
// bytes of its unfinished packet beyond a small allowance of its own, so
// that the packets of a working stream never compete with a peer that fills
// the budget; a framer whose charge would not fit drops its unfinished
// packet. Without a shared budget every further connection could hold
// another packet of the full size.
//
// Used on the one thread that runs the receiver's connections; no locking.
class PacketBudget {
public:
    explicit PacketBudget(size_t limit) : byteLimit(limit) {}
    PacketBudget(const PacketBudget&) = delete;
    PacketBudget& operator=(const PacketBudget&) = delete;

    // Changes a framer's charge from `charge` to `wanted`. A smaller charge
    // always fits; a larger one only while the total stays within the
    // limit. Returns whether `charge` now is `wanted`.
    bool recharge(size_t& charge, size_t wanted)
    {
        if (wanted > charge && wanted - charge > byteLimit - heldBytes)
            return false;
        heldBytes = heldBytes - charge + wanted;
        charge = wanted;
        return true;
    }

    size_t held() const { return heldBytes; }
    size_t limit() const { return byteLimit; }

private:
    size_t byteLimit;
    size_t heldBytes = 0;
};

} // namespace ktremote
