// SPDX-License-Identifier: MIT
// Faults that ktsim injects on request, to test how a host copes with a
// misbehaving application. Each `--fault` flag adds one (see docs/ktsim.md).
// Random choices come from the seed, so a run with the same seed and the same
// traffic injects the same faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ktsim {

// Selects replies to a command: every one, or only the n-th (from 1).
struct CommandTrigger {
    std::string command;
    int occurrence = 0;

    bool matches(const std::string& name, int count) const
    {
        return name == command && (occurrence == 0 || occurrence == count);
    }
};

enum class MalformedKind { ShortBody, BlockPastBody, NegativeCount, HugeCount };

struct MalformedFault {
    MalformedKind kind;
    int every; // after every `every`-th normal packet
};

struct FaultPlan {
    int splitReplies = -1; // largest delay between segments in ms; -1 off
    int splitPackets = -1;
    bool noGreeting = false;
    std::vector<CommandTrigger> closeOn, silentOn, errorOn;
    // Bytes sent right behind a reply's terminator.
    struct Extra {
        std::string command; // empty: after every reply
        std::string bytes;
    };
    std::vector<Extra> extraAfter;
    int garbageBytes = 0; // printable junk before every packet
    std::vector<MalformedFault> malformed;
    int coalesce = 1; // packets per write
    bool secondDataConnection = false;

    bool any() const;
};

// Parses `--fault` values; throws std::invalid_argument naming the bad one.
FaultPlan parseFaults(const std::vector<std::string>& faultTexts);

// Decodes \r \n \t \\ and \xHH in fault texts.
std::string unescapeText(const std::string& text);

// A deterministic stream of random numbers.
class FaultRandom {
public:
    explicit FaultRandom(std::uint64_t seed) : randomSeed(seed) {}
    std::uint64_t next();
    // Uniform in [lo, hi].
    std::uint64_t between(std::uint64_t lo, std::uint64_t hi) { return lo + next() % (hi - lo + 1); }

private:
    std::uint64_t randomSeed;
    std::uint64_t counter = 0;
};

} // namespace ktsim

namespace ktsim {

// Appends a packet that a host must reject: `sampleSize` is that of the
// first transferred channel. The packet holds no complete sample, so a host
// that drops it loses nothing of the stream.
void appendMalformedPacket(std::vector<std::uint8_t>& out, MalformedKind kind, double timeDays, int sampleSize);

} // namespace ktsim
