// SPDX-License-Identifier: MIT
// Where ktcli stream puts the samples it reads: a CSV file or stream, an
// HDF5 file, or a series of either (--split).
#pragma once

#include "StreamOutput.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace ktcli {

// The output cannot be written (a full disk, a failed write or flush). The
// message is the whole sentence: what failed, where, and what the output
// still holds.
class WriteFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SampleSink {
public:
    virtual ~SampleSink() = default;

    // The recording's time 0 is `days` since 1899-12-30 00:00 UTC; every
    // time passed in is in seconds since then. Called once, before the
    // first segment.
    virtual void start(double days) = 0;

    // A measurement begins at `time`: the samples from now on belong to it.
    virtual void beginSegment(double time) = 0;
    // It ended, for this reason ("duration", "signal", "disk full", ...).
    virtual void endSegment(const std::string& reason) = 0;

    // One round of new samples: an entry per channel, in stream order, with
    // the times in the recording's time base. Throws WriteFailure when the
    // output cannot be written. A reader that went away (a closed pipe) is
    // no error: gone() turns true, and the samples from then on are dropped.
    virtual void write(const std::vector<Samples>& round) = 0;

    // Writes out everything and closes the output; throws like write().
    virtual void finish() = 0;

    virtual bool gone() const { return false; }

    // Where the user's messages go so that they do not mix with the samples.
    virtual std::FILE* report() const { return stdout; }

    // Lines for the end of the summary ("CSV: 12 rows in out.csv"), or "".
    virtual std::string description() const = 0;
};

} // namespace ktcli
