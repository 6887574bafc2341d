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

    uint64_t count() const { return count_; }
    bool hasNumbers() const { return numbers_ > 0; }
    double min() const { return min_; }
    double max() const { return max_; }
    double mean() const { return numbers_ > 0 ? sum_ / static_cast<double>(numbers_) : 0.0; }

private:
    uint64_t count_ = 0;
    uint64_t numbers_ = 0;
    double min_ = 0.0;
    double max_ = 0.0;
    double sum_ = 0.0;
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
    uint64_t rows() const { return rows_; }
    int error() const { return error_; }

private:
    std::FILE* out_;
    std::string line_;
    uint64_t rows_ = 0;
    int error_ = 0;
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
    std::FILE* out_;
    std::vector<std::string> names_;
    bool enabled_;
    bool terminal_;
    bool open_ = false;
    double lastElapsed_ = 0.0;
    std::vector<uint64_t> lastCounts_;
};

// The summary table: channel, unit, count, lost, min, max, mean; numbers
// in their shortest exact form. Returns false when `out` could not be
// written.
bool printSummary(std::FILE* out, const std::vector<std::string>& names, const std::vector<std::string>& units,
                  const std::vector<Statistics>& statistics, const std::vector<std::string>& lost);

} // namespace ktcli
