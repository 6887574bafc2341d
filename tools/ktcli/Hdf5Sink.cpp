// SPDX-License-Identifier: MIT
#include "Hdf5Sink.h"

namespace ktcli {

Hdf5Sink::Hdf5Sink(const std::string& path, const std::vector<RecordedChannel>& channels, const RecordingInfo& info)
    : filePath(path), hdf5Recorder(std::make_unique<Hdf5Recorder>(path, channels, info))
{
}

void Hdf5Sink::start(double days)
{
    try {
        hdf5Recorder->setStartTime(days);
    } catch (const std::runtime_error& error) {
        throw WriteFailure(error.what());
    }
}

void Hdf5Sink::write(const std::vector<Samples>& round)
{
    // A channel without new samples is passed on as well: the recorder flushes
    // on its clock from append(), so samples already waiting reach the file
    // within a second even while the stream stalls.
    try {
        for (size_t k = 0; k < round.size(); ++k) {
            hdf5Recorder->append(k, round[k].values, round[k].times, round[k].count);
            samplesWritten += round[k].count;
        }
    } catch (const std::runtime_error& error) {
        // The summary names what the file holds, not what it was given.
        samplesWritten = hdf5Recorder->heldSamples();
        throw WriteFailure(error.what());
    }
}

void Hdf5Sink::finish()
{
    if (!hdf5Recorder)
        return;
    try {
        hdf5Recorder->flush();
    } catch (const std::runtime_error& error) {
        throw WriteFailure(error.what());
    }
    // Closed at once, so that the file can be opened while a split
    // recording goes on.
    hdf5Recorder.reset();
}

std::string Hdf5Sink::description() const
{
    return "HDF5: " + std::to_string(samplesWritten) + " samples in " + filePath;
}

} // namespace ktcli
