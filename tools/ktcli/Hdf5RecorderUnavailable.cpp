// SPDX-License-Identifier: MIT
// The recorder of a ktcli built without HDF5: it says so and records nothing.
#include "Hdf5Recorder.h"

#include <stdexcept>

namespace ktcli {

struct Hdf5Recorder::File {};

bool Hdf5Recorder::available() { return false; }

Hdf5Recorder::Hdf5Recorder(const std::string&, const std::vector<RecordedChannel>&, const RecordingInfo&)
{
    throw std::runtime_error("ktcli was built without HDF5 support");
}

Hdf5Recorder::~Hdf5Recorder() = default;

void Hdf5Recorder::setStartTime(double) {}

void Hdf5Recorder::append(size_t, const double*, const double*, size_t) {}

void Hdf5Recorder::flush() {}

void Hdf5Recorder::beginSegment(double) {}

void Hdf5Recorder::endSegment(const std::string&) {}

double Hdf5Recorder::heldUntil() const { return 0.0; }

uint64_t Hdf5Recorder::heldSamples() const { return 0; }

bool Hdf5Recorder::failed() const { return false; }

} // namespace ktcli
