// SPDX-License-Identifier: MIT
// Waveform values and async timestamps as pure functions of the sample index.
#pragma once

#include "Setup.h"

#include <cstdint>

namespace ktsim {

// A well-mixed 64-bit hash of two words (splitmix64 finaliser).
std::uint64_t mixBits(std::uint64_t a, std::uint64_t b);

// A number in [0, 1) determined by the arguments alone.
double unitHash(std::uint64_t seed, std::uint64_t stream, std::uint64_t index);

// The waveform's value for sample `index`, taken at `seconds` after the
// start of the acquisition. `noiseKey` separates the noise of channels.
double waveValue(const Waveform& wave, double seconds, std::uint64_t index, std::uint64_t seed, std::uint64_t noiseKey);

} // namespace ktsim
