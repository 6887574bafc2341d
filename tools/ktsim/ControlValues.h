// SPDX-License-Identifier: MIT
// Current values of control channels, written by hosts.
#pragma once

#include <cstdint>
#include <map>

namespace ktsim {

class ControlValues {
public:
    void set(int number, double value)
    {
        Entry& e = entries[number];
        e.value = value;
        ++e.version;
    }

    // The written value, or `fallback` while none was written.
    double value(int number, double fallback) const
    {
        auto it = entries.find(number);
        return it == entries.end() ? fallback : it->second.value;
    }

    // Counts the writes to a channel, so that readers notice a new value.
    std::uint64_t version(int number) const
    {
        auto it = entries.find(number);
        return it == entries.end() ? 0 : it->second.version;
    }

    void clear() { entries.clear(); }

private:
    struct Entry {
        double value = 0.0;
        std::uint64_t version = 0;
    };
    std::map<int, Entry> entries;
};

} // namespace ktsim
