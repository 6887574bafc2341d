#include "Hdf5Sink.h"

namespace ktcli {

Hdf5Sink::Hdf5Sink(const std::string& path, const std::vector<RecordedChannel>& channels, const RecordingInfo& info)
    : path_(path), recorder_(std::make_unique<Hdf5Recorder>(path, channels, info))
{
}

void Hdf5Sink::write(const std::vector<Samples>& round)
{
    for (size_t k = 0; k < round.size(); ++k) {
        if (round[k].count == 0)
            continue;
        recorder_->append(k, round[k].values, round[k].times, round[k].count);
        samples_ += round[k].count;
    }
}

std::string Hdf5Sink::description() const
{
    return "HDF5: " + std::to_string(samples_) + " samples in " + path_;
}

}  // namespace ktcli
