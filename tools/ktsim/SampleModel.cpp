// SPDX-License-Identifier: MIT
#include "SampleModel.h"

#include "Waveform.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ktsim {
namespace {

template <typename T>
void storeLittleEndian(RawSample& out, T value)
{
    static_assert(sizeof(T) <= 8);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    out.size = sizeof(T);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// Inverse of the host's scaling, rounded to the nearest count in [lo, hi].
std::int64_t quantise(const Channel& ch, double physical, double lo, double hi)
{
    double q = physical;
    if (ch.offset2 != 0.0)
        q -= ch.offset2;
    if (ch.scale2 != 0.0)
        q /= ch.scale2;
    q = ch.scale1 != 0.0 ? (q - ch.offset1) / ch.scale1 : 0.0;
    if (std::isnan(q))
        return 0;
    q = std::round(q);
    return static_cast<std::int64_t>(q < lo ? lo : q > hi ? hi : q);
}

float toFloat(double value)
{
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    if (value > FLT_MAX)
        return std::numeric_limits<float>::infinity();
    if (value < -FLT_MAX)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

} // namespace

RawSample encodeRaw(const Channel& ch, double physical)
{
    RawSample out;
    out.dataType = ch.dataType;
    switch (ch.dataType) {
    case 0:
    case 1:
        out.integer = quantise(ch, physical, 0, 255);
        storeLittleEndian(out, static_cast<std::uint8_t>(out.integer));
        break;
    case 2:
        out.integer = quantise(ch, physical, -32768, 32767);
        storeLittleEndian(out, static_cast<std::int16_t>(out.integer));
        break;
    case 3:
        out.integer = quantise(ch, physical, 0, 65535);
        storeLittleEndian(out, static_cast<std::uint16_t>(out.integer));
        break;
    case 4:
        out.integer = quantise(ch, physical, -2147483648.0, 2147483647.0);
        storeLittleEndian(out, static_cast<std::int32_t>(out.integer));
        break;
    case 5: {
        float value = toFloat(physical);
        out.real = value;
        storeLittleEndian(out, value);
        break;
    }
    case 6: {
        // The largest doubles that still convert into int64.
        constexpr double limit = 9223372036854774784.0;
        double r = std::isnan(physical) ? 0.0 : std::round(physical);
        out.integer = static_cast<std::int64_t>(r < -limit ? -limit : r > limit ? limit : r);
        storeLittleEndian(out, out.integer);
        break;
    }
    case 7:
        out.real = physical;
        storeLittleEndian(out, physical);
        break;
    default: {
        // Not decoded by a host; four bytes carry the value as float32.
        float value = toFloat(physical);
        out.real = value;
        storeLittleEndian(out, value);
        break;
    }
    }
    return out;
}

double hostDecode(const Channel& ch, const RawSample& raw)
{
    switch (ch.dataType) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4: {
        double v = static_cast<double>(raw.integer) * ch.scale1 + ch.offset1;
        if (ch.scale2 != 0.0)
            v = v * ch.scale2;
        if (ch.offset2 != 0.0)
            v = v + ch.offset2;
        return v;
    }
    case 5:
    case 7: return raw.real;
    case 6: return static_cast<double>(raw.integer);
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

SampleModel::SampleModel(Setup setup, std::uint64_t seed) : modelSetup(std::move(setup)), modelSeed(seed) {}

const Channel& SampleModel::channel(const std::string& name) const
{
    if (const Channel* ch = modelSetup.findByName(name))
        return *ch;
    throw std::out_of_range("no channel named '" + name + "' in setup " + modelSetup.name);
}

double SampleModel::rate(const Channel& ch) const { return channelRate(modelSetup, ch); }

double SampleModel::timestamp(const Channel& ch, std::uint64_t index) const
{
    double r = rate(ch);
    if (!(r > 0.0))
        return 0.0;
    double jitter = 0.5 * unitHash(modelSeed, mixBits(0x74696d65ULL, static_cast<std::uint64_t>(ch.number)), index);
    return (static_cast<double>(index) + jitter) / r;
}

double SampleModel::sampleTime(const Channel& ch, std::uint64_t index) const
{
    if (ch.kind == ChannelKind::Async)
        return timestamp(ch, index);
    double r = rate(ch);
    return r > 0.0 ? static_cast<double>(index) / r : 0.0;
}

double SampleModel::hostTime(const Channel& ch, std::uint64_t index) const
{
    if (ch.kind != ChannelKind::Sync)
        return sampleTime(ch, index);
    if (ch.divider <= 0)
        return 0.0;
    const double rate = static_cast<double>(static_cast<float>(modelSetup.rate)) / ch.divider;
    const auto k = static_cast<double>(index);
    if (rate < 0.5)
        return k / rate;
    return k * (1.0 / static_cast<double>(std::llround(rate)));
}

std::uint64_t SampleModel::period(const Channel& ch) const
{
    if (ch.kind != ChannelKind::Sync || ch.control)
        return 0;
    double samples = 0.0;
    switch (ch.wave.shape) {
    case WaveShape::Sine: samples = ch.wave.frequency > 0.0 ? rate(ch) / ch.wave.frequency : 0.0; break;
    case WaveShape::Ramp: samples = ch.wave.period * rate(ch); break;
    case WaveShape::Counter: return ch.wave.wrap;
    case WaveShape::Constant: return 1;
    case WaveShape::Noise: return 0;
    }
    constexpr double longest = 1 << 24;
    if (!(samples >= 1.0 && samples <= longest) || samples != std::floor(samples))
        return 0;
    return static_cast<std::uint64_t>(samples);
}

double SampleModel::physical(const Channel& ch, std::uint64_t index) const
{
    std::uint64_t repeat = period(ch);
    std::uint64_t at = repeat > 0 && ch.wave.shape != WaveShape::Counter ? index % repeat : index;
    return waveValue(ch.wave, sampleTime(ch, at), at, modelSeed, static_cast<std::uint64_t>(ch.number));
}

RawSample SampleModel::raw(const Channel& ch, std::uint64_t index) const { return encodeRaw(ch, physical(ch, index)); }

double SampleModel::decoded(const Channel& ch, std::uint64_t index) const { return hostDecode(ch, raw(ch, index)); }

} // namespace ktsim
