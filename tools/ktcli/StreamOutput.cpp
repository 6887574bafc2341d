#include "StreamOutput.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>

#include <unistd.h>

namespace ktcli {

void Statistics::add(const double* values, size_t count)
{
    count_ += count;
    for (size_t k = 0; k < count; ++k) {
        const double value = values[k];
        if (std::isnan(value))
            continue;
        if (numbers_ == 0) {
            min_ = value;
            max_ = value;
        } else {
            min_ = std::min(min_, value);
            max_ = std::max(max_, value);
        }
        sum_ += value;
        ++numbers_;
    }
}

std::string shortestText(double value)
{
    // A computed time of -0 (the first single value) reads better as 0.
    if (value == 0.0)
        value = 0.0;
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

CsvWriter::CsvWriter(std::FILE* out, const std::vector<std::string>& names, const std::vector<std::string>& units)
    : out_(out)
{
    std::string header;
    for (size_t k = 0; k < names.size(); ++k) {
        if (k > 0)
            header += ',';
        header += csvField(names[k] + " time [s]") + ',';
        header += csvField(units[k].empty() ? names[k] : names[k] + " [" + units[k] + "]");
    }
    std::fprintf(out_, "%s\n", header.c_str());
}

bool CsvWriter::writeRound(const std::vector<Samples>& samples)
{
    if (error_ != 0)
        return false;
    size_t rows = 0;
    for (const Samples& channel : samples)
        rows = std::max(rows, channel.count);
    for (size_t row = 0; row < rows; ++row) {
        line_.clear();
        for (size_t k = 0; k < samples.size(); ++k) {
            if (k > 0)
                line_ += ',';
            if (row < samples[k].count) {
                line_ += shortestText(samples[k].times[row]);
                line_ += ',';
                line_ += shortestText(samples[k].values[row]);
            } else {
                line_ += ',';
            }
        }
        line_ += '\n';
        errno = 0;
        if (std::fwrite(line_.data(), 1, line_.size(), out_) != line_.size()) {
            error_ = errno != 0 ? errno : EIO;
            return false;
        }
        ++rows_;
    }
    return true;
}

Progress::Progress(std::FILE* out, std::vector<std::string> names, bool enabled)
    : out_(out), names_(std::move(names)), enabled_(enabled), terminal_(isatty(fileno(out)) != 0),
      lastCounts_(names_.size(), 0)
{
}

void Progress::update(double elapsed, const std::vector<uint64_t>& counts, const std::vector<std::string>& lost)
{
    if (!enabled_)
        return;
    const double interval = elapsed - lastElapsed_;
    if (interval <= 0.0)
        return;
    char head[32];
    std::snprintf(head, sizeof head, "%6.1f s", elapsed);
    std::string line = head;
    for (size_t k = 0; k < names_.size(); ++k) {
        const double rate = static_cast<double>(counts[k] - lastCounts_[k]) / interval;
        char part[32];
        std::snprintf(part, sizeof part, " %.0f/s", rate);
        line += "  " + names_[k] + part;
        if (lost[k] != "0")
            line += " (lost " + lost[k] + ")";
    }
    if (terminal_) {
        // Clear to the end of the line: the new text may be shorter.
        std::fprintf(out_, "\r%s\x1b[K", line.c_str());
        open_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
    lastElapsed_ = elapsed;
    lastCounts_ = counts;
}

void Progress::finish()
{
    if (open_)
        std::fprintf(out_, "\n");
    open_ = false;
}

bool printSummary(std::FILE* out, const std::vector<std::string>& names, const std::vector<std::string>& units,
                  const std::vector<Statistics>& statistics, const std::vector<std::string>& lost)
{
    size_t nameWidth = 7;
    size_t unitWidth = 4;
    for (size_t k = 0; k < names.size(); ++k) {
        nameWidth = std::max(nameWidth, names[k].size());
        unitWidth = std::max(unitWidth, units[k].size());
    }
    const int nw = static_cast<int>(nameWidth);
    const int uw = static_cast<int>(unitWidth);
    std::fprintf(out, "%-*s  %-*s  %10s  %8s  %24s  %24s  %24s\n", nw, "channel", uw, "unit", "count", "lost", "min",
                 "max", "mean");
    for (size_t k = 0; k < names.size(); ++k) {
        const Statistics& s = statistics[k];
        const bool numbers = s.hasNumbers();
        std::fprintf(out, "%-*s  %-*s  %10llu  %8s  %24s  %24s  %24s\n", nw, names[k].c_str(), uw,
                     units[k].empty() ? "-" : units[k].c_str(), static_cast<unsigned long long>(s.count()),
                     lost[k].c_str(), numbers ? shortestText(s.min()).c_str() : "-",
                     numbers ? shortestText(s.max()).c_str() : "-", numbers ? shortestText(s.mean()).c_str() : "-");
    }
    return std::fflush(out) == 0 && !std::ferror(out);
}

} // namespace ktcli
