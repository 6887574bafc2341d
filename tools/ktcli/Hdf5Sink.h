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

    void start(double days) override { recorder_->setStartTime(days); }
    void write(const std::vector<Samples>& round) override;
    void finish() override { recorder_->flush(); }
    std::string description() const override;

private:
    std::string path_;
    std::unique_ptr<Hdf5Recorder> recorder_;
    uint64_t samples_ = 0;
};

} // namespace ktcli
