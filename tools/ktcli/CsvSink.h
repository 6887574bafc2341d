// SPDX-License-Identifier: MIT
// The samples as CSV (see CsvWriter), to a file or to standard output.
#pragma once

#include "SampleSink.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ktcli {

class CsvSink final : public SampleSink {
public:
    // `path` "-": standard output. Writes the header; throws
    // std::runtime_error when the file cannot be created.
    CsvSink(const std::string& path, const std::vector<std::string>& names, const std::vector<std::string>& units);
    ~CsvSink() override;
    CsvSink(const CsvSink&) = delete;
    CsvSink& operator=(const CsvSink&) = delete;

    // The times carry the segments: a gap shows as a jump.
    void start(double) override {}
    void beginSegment(double) override {}
    void endSegment(const std::string&) override {}
    void write(const std::vector<Samples>& round) override;
    void finish() override;
    bool gone() const override { return outputGone; }
    std::FILE* report() const override { return toStdout ? stderr : stdout; }
    std::string description() const override;

private:
    // Turns a failed write into gone() (closed pipe) or a WriteFailure; a
    // file is cut back to its last good flush, so that it ends with a whole
    // row.
    void failed(int error);

    std::string outPath;
    bool toStdout;
    std::FILE* outFile = nullptr;
    std::unique_ptr<CsvWriter> writer;
    bool outputGone = false;
    long flushedBytes = -1;         // the file's size after the last good flush
    double flushedUntil = -1.0e308; // the latest time in it then
    double writtenUntil = -1.0e308;
};

} // namespace ktcli
