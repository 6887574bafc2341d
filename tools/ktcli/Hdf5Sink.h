// SPDX-License-Identifier: MIT
// The samples into an HDF5 file through Hdf5Recorder.
#pragma once

#include "Hdf5Recorder.h"
#include "SampleSink.h"

#include <memory>
#include <string>
#include <vector>

namespace ktcli {

class Hdf5Sink final : public SampleSink {
public:
    // Creates the file; throws std::runtime_error with a sentence on failure.
    Hdf5Sink(const std::string& path, const std::vector<RecordedChannel>& channels, const RecordingInfo& info);

    void start(double days) override { hdf5Recorder->setStartTime(days); }
    void write(const std::vector<Samples>& round) override;
    void finish() override { hdf5Recorder->flush(); }
    std::string description() const override;

private:
    std::string filePath;
    std::unique_ptr<Hdf5Recorder> hdf5Recorder;
    uint64_t samplesWritten = 0;
};

} // namespace ktcli
