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

    void start(double) override {}
    void write(const std::vector<Samples>& round) override;
    void finish() override;
    bool gone() const override { return outputGone; }
    std::FILE* report() const override { return toStdout ? stderr : stdout; }
    std::string description() const override;

private:
    // Turns a failed write into gone() (closed pipe) or an exception.
    void failed(int error);

    std::string outPath;
    bool toStdout;
    std::FILE* outFile = nullptr;
    std::unique_ptr<CsvWriter> writer;
    bool outputGone = false;
};

} // namespace ktcli
