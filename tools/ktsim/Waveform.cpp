// SPDX-License-Identifier: MIT
#include "Waveform.h"

#include <cmath>

namespace ktsim {

std::uint64_t mixBits(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t z = a + 0x9e3779b97f4a7c15ULL * (b + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double unitHash(std::uint64_t seed, std::uint64_t stream, std::uint64_t index)
{
    std::uint64_t bits = mixBits(mixBits(seed, stream), index);
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

double waveValue(const Waveform& wave, double seconds, std::uint64_t index, std::uint64_t seed, std::uint64_t noiseKey)
{
    constexpr double twoPi = 6.283185307179586476925286766559;
    switch (wave.shape) {
    case WaveShape::Sine:
        return wave.center + wave.amplitude * std::sin(twoPi * (wave.frequency * seconds + wave.phase));
    case WaveShape::Ramp: {
        double cycles = seconds / wave.period;
        return wave.min + (wave.max - wave.min) * (cycles - std::floor(cycles));
    }
    case WaveShape::Counter: {
        std::uint64_t n = wave.wrap > 0 ? index % wave.wrap : index;
        return wave.start + wave.step * static_cast<double>(n);
    }
    case WaveShape::Noise: {
        double u = unitHash(mixBits(seed, wave.seed), noiseKey, index);
        return wave.center + wave.amplitude * (2.0 * u - 1.0);
    }
    case WaveShape::Constant: return wave.value;
    }
    return 0.0;
}

} // namespace ktsim
