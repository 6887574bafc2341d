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

    void start(double days) override;
    void beginSegment(double time) override { hdf5Recorder->beginSegment(time); }
    void endSegment(const std::string& reason) override { hdf5Recorder->endSegment(reason); }
    void write(const std::vector<Samples>& round) override;
    void finish() override;
    std::string description() const override;

private:
    std::string filePath;
    std::unique_ptr<Hdf5Recorder> hdf5Recorder;
    uint64_t samplesWritten = 0;
};

} // namespace ktcli
