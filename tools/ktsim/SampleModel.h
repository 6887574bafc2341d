// SPDX-License-Identifier: MIT
// What ktsim sends for every sample, and what a host decodes from it.
//
// Sample values are a pure function of (setup, seed, channel, sample index),
// so a test that knows the setup and the seed predicts every value a host
// must read:
//
//   ktsim::SampleModel model(ktsim::loadSetup("builtin:clean"), 42);
//   const ktsim::Channel& v = model.channel("Voltage");
//   double expected = model.decoded(v, i);   // exactly what the host decodes
//   double t = model.timestamp(a, i);        // async channel: timestamp sent
//   double s = model.hostTime(v, i);         // sync channel: the host's time
//
// Indexes count from 0 at each STARTACQ, per channel. Control channels send
// their current value instead: the setup's `value` until a host writes one.
#pragma once

#include "Setup.h"

#include <array>
#include <cstdint>
#include <string>

namespace ktsim {

// One sample as it is written to the data stream.
struct RawSample {
    int dataType = 7;
    int size = 8;                        // bytes on the wire
    std::array<std::uint8_t, 8> bytes{}; // little-endian encoding, `size` bytes used
    std::int64_t integer = 0;            // integer data types (0-4, 6): the raw count
    double real = 0.0;                   // float data types (5, 7): the value sent
};

// Encodes a physical value for the channel's data type. Integer types are
// quantised so that the host's conversion gives the nearest representable
// value; out-of-range values saturate.
RawSample encodeRaw(const Channel& channel, double physical);

// The host's decoding of a raw sample: for data types 0-4
// raw * scale1 + offset1, then * scale2 unless it is 0, then + offset2 unless
// it is 0, in this order and in double precision; 5-7 unconverted. Data
// types the host does not decode give NaN.
double hostDecode(const Channel& channel, const RawSample& raw);

class SampleModel {
public:
    SampleModel(Setup setup, std::uint64_t seed);

    const Setup& setup() const { return modelSetup; }
    std::uint64_t seed() const { return modelSeed; }

    // The channel with this name; throws std::out_of_range if there is none.
    const Channel& channel(const std::string& name) const;

    // Samples per second (sync: setup rate / divider).
    double rate(const Channel& channel) const;

    // Seconds from the start of the acquisition to sample `index`: the
    // timestamp sent for async channels, index / rate for the others.
    double sampleTime(const Channel& channel, std::uint64_t index) const;

    // Async channels: the timestamp sent with sample `index`, in seconds,
    // strictly increasing, within [index / rate, (index + 0.5) / rate).
    double timestamp(const Channel& channel, std::uint64_t index) const;

    // The relative time, in seconds, that a host gives sync sample `index`:
    // index * (1 / r), with r the rate it is told (the setup rate as single
    // precision, divided by the divider) rounded to an integer; index / rate
    // for rates below 0.5 Hz, which would round to 0. Async channels: the
    // timestamp sent. Single values: sampleTime(), which is the time of the
    // packet that carries the value when that value is the packet's earliest
    // sample (see PacketSource).
    double hostTime(const Channel& channel, std::uint64_t index) const;

    // The packet time, in days, of a packet whose earliest sample is
    // `seconds` into an acquisition that started at `startDays`.
    static double packetDays(double startDays, double seconds) { return startDays + seconds / 86400.0; }

    // The waveform's value of sample `index` before quantisation.
    double physical(const Channel& channel, std::uint64_t index) const;

    // For a sync channel whose waveform repeats after a whole number of
    // samples (sine: rate / frequency, ramp: period * rate, counter: wrap,
    // constant: 1), that number; else 0. Such a channel's sample `index`
    // equals sample `index % period`, exactly: the waveform is evaluated at
    // the reduced index, which also keeps long runs precise.
    std::uint64_t period(const Channel& channel) const;

    // The sample as encoded on the wire.
    RawSample raw(const Channel& channel, std::uint64_t index) const;

    // The exact double a host must decode for sample `index`.
    double decoded(const Channel& channel, std::uint64_t index) const;

private:
    Setup modelSetup;
    std::uint64_t modelSeed;
};

} // namespace ktsim
