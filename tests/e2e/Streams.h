// SPDX-License-Identifier: MIT
#pragma once

// Reading channels through the exported functions and comparing what
// arrived with what ktsim sent.

#include "Ktsim.h"
#include "SampleModel.h"

#include <functional>
#include <string>
#include <vector>

namespace ktremote::e2e {

// Which export reads the channel.
enum class ReadKind {
    Relative,  // ktconChannelReadScalarData_2: times in seconds
    Absolute,  // ktconChannelReadScalarData_2abs: times in days
    Allocating // ktconChannelReadScalarData: arrays from the library
};

// One channel handle and everything read from it since the last clear().
struct Reading {
    const ktsim::Channel* model = nullptr;
    ChannelHandle owned;
    ::ChannelInstance* handle = nullptr;
    ReadKind kind = ReadKind::Relative;
    std::vector<double> values;
    std::vector<double> times;
    int lastResult = KX_OK;
    bool overrun = false; // some read returned KX_ERR_DATA_OVERRUN
    bool paused = false;  // readAll() leaves the channel's buffer alone

    // Reads everything buffered; returns the number of values added.
    size_t readAll();
    void clear();
};

// ktsim's built-in default setup with the seed Ktsim starts it with.
const ktsim::SampleModel& defaultModel();

// Opens a handle on each named channel of the model's setup (every channel
// the library lists when names is empty), in the given order.
std::vector<Reading> openReadings(::KTXInstance* instance, const ktsim::SampleModel& model,
                                  const std::vector<std::string>& names = {});

// Reads every channel in rounds until done() holds; false when it still
// does not hold after the time limit. The pause between rounds only paces
// the reads: done() decides.
bool readUntil(std::vector<Reading>& readings, const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(60));

// After a stop: reads until ktsim has closed its data connection and no new
// sample came for a while, so that everything it sent has been read.
void readRest(std::vector<Reading>& readings, const Ktsim& sim, int closedConnections);

// The value ktsim sends as sample i of a channel; a control channel sends
// its current control value.
double expectedValue(const ktsim::SampleModel& model, const ktsim::Channel& channel, uint64_t index,
                     double controlValue);

// Checks that the values and times read are exactly samples 0, 1, 2, ...
// of what ktsim sent: nothing lost, repeated or out of order. Absolute times
// are checked against `startDays`, the time of sample 0.
void expectExactDelivery(const ktsim::SampleModel& model, const Reading& reading, double startDays);

// For a host that lost samples: checks that every sample read has exactly
// the value and the time of one place in what ktsim sent, the place named by
// its time, and that the places only go up. Returns them. Synchronous and
// asynchronous channels only.
std::vector<uint64_t> expectModelSamples(const ktsim::SampleModel& model, const Reading& reading, double startDays);

// A measurement of Voltage and Events under way: an instance connected to
// ktsim with its data connection on dataPort, buffers of bufferSize samples,
// and at least `first` Voltage values read. A failed step fails the test;
// check HasFailure() after the call.
struct Measurement {
    ::KTXInstance* app = nullptr;
    std::vector<Reading> readings;
};
Measurement measureVoltageAndEvents(const Ktsim& sim, uint16_t dataPort, int bufferSize, size_t first);

// One measurement on a connected instance, from the channel list to the
// last sample, on Voltage and Events: every value read equals the model.
void measureExactly(::KTXInstance* app, const Ktsim& sim, const ktsim::SampleModel& model);

} // namespace ktremote::e2e
