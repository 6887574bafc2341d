// SPDX-License-Identifier: MIT
// What ktcli stream shows and writes: the CSV, the per-channel summary and
// the progress line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ktcli {

// Count, minimum, maximum and mean of a channel's values. NaN values (a
// channel whose samples the library cannot decode) are counted but take no
// part in the others.
class Statistics {
public:
    void add(const double* values, size_t count);

    uint64_t count() const { return valueCount; }
    bool hasNumbers() const { return numberCount > 0; }
    double min() const { return minValue; }
    double max() const { return maxValue; }
    double mean() const { return numberCount > 0 ? sum / static_cast<double>(numberCount) : 0.0; }

private:
    uint64_t valueCount = 0;
    uint64_t numberCount = 0;
    double minValue = 0.0;
    double maxValue = 0.0;
    double sum = 0.0;
};

// New samples of one channel.
struct Samples {
    const double* values;
    const double* times;
    size_t count;
};

// CSV with a time and a value column per channel. Each call of writeRound
// adds as many rows as the channel with the most new samples has; row k
// holds the k-th new sample of every channel that has one and empty cells
// for the others. Read down a channel's two columns, skipping empty cells,
// and you get exactly its samples in order. Numbers are written in the
// shortest form that reads back as the same double.
class CsvWriter {
public:
    // Writes the header: per channel "<name> time [s]" and "<name> [<unit>]".
    CsvWriter(std::FILE* out, const std::vector<std::string>& names, const std::vector<std::string>& units);

    // Writes whole rows only; returns false, with the error number in
    // error(), once a write failed.
    bool writeRound(const std::vector<Samples>& samples);
    uint64_t rows() const { return rowCount; }
    int error() const { return writeError; }

private:
    std::FILE* outFile;
    std::string rowText;
    uint64_t rowCount = 0;
    int writeError = 0;
};

// The shortest text that reads back as exactly `value`.
std::string shortestText(double value);

// A CSV field, quoted when it needs to be.
std::string csvField(const std::string& text);

// The live line on stderr: elapsed time, samples per second per channel,
// and per channel what was lost once something was. On a terminal it is
// rewritten in place; elsewhere one line is written per update.
class Progress {
public:
    Progress(std::FILE* out, std::vector<std::string> names, bool enabled);
    // `lost`: per channel "0", a count or "some" (see LossCounter).
    void update(double elapsed, const std::vector<uint64_t>& counts, const std::vector<std::string>& lost);
    // Ends the line (on a terminal).
    void finish();

private:
    std::FILE* outFile;
    std::vector<std::string> channelNames;
    bool progressEnabled;
    bool onTerminal;
    bool lineOpen = false;
    double lastElapsed = 0.0;
    std::vector<uint64_t> lastCounts;
};

// The summary table: channel, unit, count, lost, min, max, mean; numbers
// in their shortest exact form. Returns false when `out` could not be
// written.
bool printSummary(std::FILE* out, const std::vector<std::string>& names, const std::vector<std::string>& units,
                  const std::vector<Statistics>& statistics, const std::vector<std::string>& lost);

} // namespace ktcli
