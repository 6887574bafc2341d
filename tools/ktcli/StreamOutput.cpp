// SPDX-License-Identifier: MIT
#include "StreamOutput.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>

#include <unistd.h>

namespace ktcli {

void Statistics::add(const double* values, size_t count)
{
    valueCount += count;
    for (size_t k = 0; k < count; ++k) {
        const double value = values[k];
        if (std::isnan(value))
            continue;
        if (numberCount == 0) {
            minValue = value;
            maxValue = value;
        } else {
            minValue = std::min(minValue, value);
            maxValue = std::max(maxValue, value);
        }
        sum += value;
        ++numberCount;
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
    : outFile(out)
{
    std::string header;
    for (size_t k = 0; k < names.size(); ++k) {
        if (k > 0)
            header += ',';
        header += csvField(names[k] + " time [s]") + ',';
        header += csvField(units[k].empty() ? names[k] : names[k] + " [" + units[k] + "]");
    }
    std::fprintf(outFile, "%s\n", header.c_str());
}

bool CsvWriter::writeRound(const std::vector<Samples>& samples)
{
    if (writeError != 0)
        return false;
    size_t rows = 0;
    for (const Samples& channel : samples)
        rows = std::max(rows, channel.count);
    for (size_t row = 0; row < rows; ++row) {
        rowText.clear();
        for (size_t k = 0; k < samples.size(); ++k) {
            if (k > 0)
                rowText += ',';
            if (row < samples[k].count) {
                rowText += shortestText(samples[k].times[row]);
                rowText += ',';
                rowText += shortestText(samples[k].values[row]);
            } else {
                rowText += ',';
            }
        }
        rowText += '\n';
        errno = 0;
        if (std::fwrite(rowText.data(), 1, rowText.size(), outFile) != rowText.size()) {
            writeError = errno != 0 ? errno : EIO;
            return false;
        }
        ++rowCount;
    }
    return true;
}

Progress::Progress(std::FILE* out, std::vector<std::string> names, bool enabled)
    : outFile(out), channelNames(std::move(names)), progressEnabled(enabled), onTerminal(isatty(fileno(out)) != 0),
      lastCounts(channelNames.size(), 0)
{
}

void Progress::update(double elapsed, const std::vector<uint64_t>& counts, const std::vector<std::string>& lost)
{
    if (!progressEnabled)
        return;
    const double interval = elapsed - lastElapsed;
    if (interval <= 0.0)
        return;
    char head[32];
    std::snprintf(head, sizeof head, "%6.1f s", elapsed);
    std::string line = head;
    for (size_t k = 0; k < channelNames.size(); ++k) {
        const double rate = static_cast<double>(counts[k] - lastCounts[k]) / interval;
        char part[32];
        std::snprintf(part, sizeof part, " %.0f/s", rate);
        line += "  " + channelNames[k] + part;
        if (lost[k] != "0")
            line += " (lost " + lost[k] + ")";
    }
    if (onTerminal) {
        // Clear to the end of the line: the new text may be shorter.
        std::fprintf(outFile, "\r%s\x1b[K", line.c_str());
        lineOpen = true;
    } else {
        std::fprintf(outFile, "%s\n", line.c_str());
    }
    std::fflush(outFile);
    lastElapsed = elapsed;
    lastCounts = counts;
}

void Progress::finish()
{
    if (lineOpen)
        std::fprintf(outFile, "\n");
    lineOpen = false;
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
