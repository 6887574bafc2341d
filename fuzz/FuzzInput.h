// SPDX-License-Identifier: MIT
#pragma once

// Reads the parameters of a fuzz run from the front of the input, and cuts
// the rest into pieces of pseudo-random sizes. A short input reads as zeros.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ktremote::fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : inputData(data), inputSize(size) {}

    uint8_t byte() { return pos < inputSize ? inputData[pos++] : 0; }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t{byte()} << (8 * i);
        return v;
    }
    const uint8_t* rest() const { return inputData + pos; }
    size_t restSize() const { return inputSize - pos; }

private:
    const uint8_t* inputData;
    size_t inputSize;
    size_t pos = 0;
};

// xorshift32: the chunk sizes of a run follow from a seed in the input, so a
// finding replays exactly.
class Chunker {
public:
    explicit Chunker(uint32_t seed) : state(seed | 1) {}
    uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    // 1 .. max, small sizes more often than large ones.
    size_t size(size_t max)
    {
        const uint32_t r = next();
        const size_t limit = (r & 3) == 0 ? max : (r & 3) == 1 ? 16 : 4;
        return 1 + (r >> 8) % (limit < 1 ? 1 : limit);
    }

private:
    uint32_t state;
};

// An invariant does not hold: report it and let libFuzzer keep the input.
[[noreturn]] inline void fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

} // namespace ktremote::fuzz

#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::ktremote::fuzz::fail(#condition, __FILE__, __LINE__))
