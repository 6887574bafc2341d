// SPDX-License-Identifier: MIT
// Records a stream into an HDF5 file as it arrives.
//
// Layout: the root group holds the file attributes start_time (days since
// 1899-12-30), start_time_utc (ISO 8601 text), library_version and
// command_line. Each channel is a group named after the channel; in it the
// float64 datasets "values" and "time" (seconds) of equal length, and the
// attributes id, unit, type ("sync", "async" or "single"), type_code (the
// numeric channel type) and sample_rate (Hz). The datasets are chunked with
// no upper size limit and grow with every append; the file is flushed at
// least once a second, so a recorder that is killed leaves a file that reads
// back up to its last flush.
//
// A recording is made of segments, one per measurement: the root dataset
// "segments" has a row (start, end, reason) per segment, and each channel
// group an int64 dataset "segment_index", the index in "values" of each
// segment's first sample. Before each batch the recorder checks that the
// file system has room for it; when it has not, the file is closed as it
// was after the last flush (with the last segment's reason "disk full") and
// the append fails. See docs/recording.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ktcli {

struct RecordedChannel {
    std::string name;
    std::string id;
    std::string unit;
    int type;
    double sampleRate;
};

struct RecordingInfo {
    std::string libraryVersion;
    std::string commandLine;
    bool compress = false; // gzip level 4 on both datasets of every channel
};

class Hdf5Recorder {
public:
    // False when ktcli was built without HDF5.
    static bool available();

    // Creates the file (an existing one is replaced). Throws
    // std::runtime_error with a plain sentence on failure, or when built
    // without HDF5 ("ktcli was built without HDF5 support").
    Hdf5Recorder(const std::string& path, const std::vector<RecordedChannel>& channels, const RecordingInfo& info);
    // Writes what is still buffered and closes the file. It cannot report a
    // failure: call flush() first to learn of one.
    ~Hdf5Recorder();

    Hdf5Recorder(const Hdf5Recorder&) = delete;
    Hdf5Recorder& operator=(const Hdf5Recorder&) = delete;

    // Sets the start time attributes (replacing earlier ones) and flushes:
    // days since 1899-12-30 and the same instant as ISO 8601 UTC text.
    void setStartTime(double days);

    // Adds count samples to channel (an index into the constructor's list;
    // std::out_of_range for others). Samples are kept in memory until the
    // next flush, which comes from append() itself once a second (also a
    // call with count 0 checks the clock) or when a channel has 131072
    // samples waiting. Throws std::runtime_error when the file cannot be
    // written.
    void append(size_t channel, const double* values, const double* times, size_t count);

    // Makes everything appended so far readable from the file. append()
    // also does this at least once a second.
    void flush();

    // A segment begins at `start` seconds (the file's time base); samples
    // appended from now on belong to it. Its end is the latest time
    // appended to it.
    void beginSegment(double start);
    // Gives the current segment its reason ("duration", "signal", ...);
    // written with the next flush.
    void endSegment(const std::string& reason);

    // The latest sample time the file held after its last good flush
    // (-infinity before any).
    double heldUntil() const;
    // The samples (all channels) the file held after its last good flush.
    uint64_t heldSamples() const;
    // Whether a write failed: the file takes nothing more.
    bool failed() const;

private:
    struct File;
    std::unique_ptr<File> recorderFile;
};

} // namespace ktcli
