// SPDX-License-Identifier: MIT
// The simulated application's measurement setup: its channels, how each one
// is listed to a host, sampled and converted.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ktsim {

enum class ChannelKind { Sync, Async, SingleValue };

enum class WaveShape { Sine, Ramp, Counter, Noise, Constant };

// A waveform evaluated at a sample's time (sine, ramp) or index (counter,
// noise). Unused parameters keep their defaults.
struct Waveform {
    WaveShape shape = WaveShape::Sine;
    double amplitude = 1.0; // sine, noise: peak deviation from center
    double frequency = 1.0; // sine: Hz
    double phase = 0.0;     // sine: fraction of a period, 0 to 1
    double center = 0.0;    // sine, noise: mean value
    double min = 0.0;       // ramp: value at the start of each period
    double max = 1.0;       // ramp: value approached at the end of each period
    double period = 1.0;    // ramp: seconds
    double start = 0.0;     // counter: first value
    double step = 1.0;      // counter: increment per sample
    std::uint64_t wrap = 0; // counter: restarts after this many samples (0: never)
    std::uint64_t seed = 0; // noise: combined with the simulator's seed
    double value = 0.0;     // constant (and a control channel's initial value)
};

struct Channel {
    std::string name;
    std::string unit;
    std::string path; // list field 1; the host's id is "0," + path with ';' as ','
    int number = 0;   // list field 2; the number in "CH n" lines
    ChannelKind kind = ChannelKind::Sync;
    int divider = 1;    // sync: sample rate = setup rate / divider
    double rate = 10.0; // async: expected rate; single value: updates per second
    int dataType = 7;
    // Conversion factors as the host reads them back from the list line:
    // scale2 and offset2 are single precision there, so they are kept rounded
    // to float; scale1 and offset1 are full doubles.
    double scale1 = 1.0, offset1 = 0.0, scale2 = 0.0, offset2 = 0.0;
    bool control = false;
    Waveform wave;
    // Fields the host stores without interpreting them.
    std::string field0 = "0", field3 = "0", field4 = "0", field5, field7;
    std::string field12 = "0", field14 = "0", field15 = "0", extraField = "0";
};

struct Setup {
    std::string name = "unnamed";
    double rate = 1000.0;      // base sample rate answered to GETSAMPLERATE
    bool decimalComma = false; // write the conversion factors with ',' in the list
    std::vector<Channel> channels;

    const Channel* findByNumber(int number) const;
    const Channel* findByName(const std::string& name) const;
    const Channel* findByPath(const std::string& path) const;
};

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Bytes per sample on the wire for a data type code.
int sampleSize(int dataType);

// True when the host turns samples of this data type into values (0 to 7).
bool hostDecodes(int dataType);

// True when the host keeps a channel of this data type in its channel list
// (negative codes and 2 to 7); 0, 1, 8 and above are listed but dropped.
bool hostLists(int dataType);

// Samples per second of a channel: setup rate / divider for sync channels,
// the expected rate for async ones, the update rate for single values.
double channelRate(const Setup& setup, const Channel& channel);

} // namespace ktsim
