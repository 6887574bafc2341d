// SPDX-License-Identifier: MIT
// A recording split into files by recording time (--split SECONDS): file n
// (counted from 1) holds the samples of [(n - 1) S, n S) and is named
// <stem>-000n<extension>. Each file is complete on its own: it has its own
// start_time, S (n - 1) seconds after the recording's, its times count from
// there, and it lists the part of every segment that falls into it. A span
// in which nothing was recorded (inside a long gap) gets no file.
//
// A file is closed, and so readable, once the newest sample is a second
// past its end; samples of a channel that lags behind the others by more
// than that go to the oldest file still open.
#pragma once

#include "SampleSink.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ktcli {

class SplitSink final : public SampleSink {
public:
    // Makes the sink of one file.
    using Factory = std::function<std::unique_ptr<SampleSink>(const std::string& path)>;

    SplitSink(std::string path, double seconds, Factory factory);

    void start(double days) override { startDays = days; }
    void beginSegment(double time) override;
    void endSegment(const std::string& reason) override;
    void write(const std::vector<Samples>& round) override;
    void finish() override;
    std::string description() const override;

    // The name of file `number` (from 1): "run.h5" gives "run-0001.h5".
    static std::string partPath(const std::string& path, size_t number);

private:
    struct Part {
        size_t span; // file span - 1
        std::unique_ptr<SampleSink> sink;
        bool inSegment = false;
    };

    size_t spanOf(double time) const;
    double spanStart(size_t span) const { return static_cast<double>(span) * spanSeconds; }
    Part& open(size_t span);
    // Closes every file but the newest whose end lies a second before `time`.
    void closeBefore(double time);
    void close(Part& part);

    std::string basePath;
    double spanSeconds;
    Factory makeSink;
    double startDays = 0.0;
    bool segmentOpen = false;
    double segmentStart = 0.0;
    std::deque<Part> parts; // open files, oldest first
    std::vector<std::string> closedPaths;
    std::vector<std::vector<double>> shiftedTimes;
};

} // namespace ktcli
