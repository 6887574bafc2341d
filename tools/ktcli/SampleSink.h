// SPDX-License-Identifier: MIT
// Where ktcli stream puts the samples it reads: a CSV file or stream, or an
// HDF5 file.
#pragma once

#include "StreamOutput.h"

#include <cstdio>
#include <string>
#include <vector>

namespace ktcli {

class SampleSink {
public:
    virtual ~SampleSink() = default;

    // The measurement started at `days` since 1899-12-30 00:00 UTC.
    virtual void start(double days) = 0;

    // One round of new samples: an entry per channel, in stream order.
    // Throws std::runtime_error when the output cannot be written. A reader
    // that went away (a closed pipe) is no error: gone() turns true, and the
    // samples from then on are dropped.
    virtual void write(const std::vector<Samples>& round) = 0;

    // Writes out everything; throws like write().
    virtual void finish() = 0;

    virtual bool gone() const { return false; }

    // Where the user's messages go so that they do not mix with the samples.
    virtual std::FILE* report() const { return stdout; }

    // A line for the end of the summary ("CSV: 12 rows in out.csv"), or "".
    virtual std::string description() const = 0;
};

} // namespace ktcli
