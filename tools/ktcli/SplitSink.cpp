// SPDX-License-Identifier: MIT
#include "SplitSink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace ktcli {

namespace {

// How far past a file's end the newest sample must be before it is closed.
constexpr double closeAfter = 1.0;

} // namespace

SplitSink::SplitSink(std::string path, double seconds, Factory factory)
    : basePath(std::move(path)), spanSeconds(seconds), makeSink(std::move(factory))
{
}

std::string SplitSink::partPath(const std::string& path, size_t number)
{
    const size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == 0 ||
        (slash != std::string::npos && dot == slash + 1))
        dot = path.size();
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-%04zu", number);
    return path.substr(0, dot) + suffix + path.substr(dot);
}

size_t SplitSink::spanOf(double time) const
{
    const double span = std::floor(time / spanSeconds);
    if (!(span > 0.0))
        return 0;
    return span < 1.0e15 ? static_cast<size_t>(span) : static_cast<size_t>(1.0e15);
}

SplitSink::Part& SplitSink::open(size_t span)
{
    Part part{span, makeSink(partPath(basePath, span + 1))};
    part.sink->start(startDays + spanStart(span) / 86400.0);
    if (segmentOpen) {
        part.sink->beginSegment(std::max(segmentStart - spanStart(span), 0.0));
        part.inSegment = true;
    }
    parts.push_back(std::move(part));
    return parts.back();
}

void SplitSink::close(Part& part)
{
    if (part.inSegment)
        part.sink->endSegment("continued in the next file");
    part.inSegment = false;
    part.sink->finish();
    closedPaths.push_back(partPath(basePath, part.span + 1));
}

void SplitSink::closeBefore(double time)
{
    while (parts.size() > 1 && spanStart(parts.front().span + 1) + closeAfter <= time) {
        close(parts.front());
        parts.pop_front();
    }
}

void SplitSink::beginSegment(double time)
{
    segmentOpen = true;
    segmentStart = time;
    const size_t span = spanOf(time);
    for (Part& part : parts) {
        if (spanStart(part.span + 1) > time) {
            part.sink->beginSegment(std::max(time - spanStart(part.span), 0.0));
            part.inSegment = true;
        }
    }
    if (parts.empty() || span > parts.back().span)
        open(span);
    closeBefore(time);
}

void SplitSink::endSegment(const std::string& reason)
{
    // The segment ends in the newest file; in the older ones still open it
    // went on into the next.
    segmentOpen = false;
    for (size_t p = 0; p < parts.size(); ++p) {
        if (parts[p].inSegment)
            parts[p].sink->endSegment(p + 1 == parts.size() ? reason : "continued in the next file");
        parts[p].inSegment = false;
    }
}

void SplitSink::write(const std::vector<Samples>& round)
{
    // Files for the spans of samples past the newest open file.
    double newest = -1.0e308;
    for (const Samples& channel : round) {
        const double* end = channel.times + channel.count;
        const double* at = channel.times;
        if (!parts.empty())
            at = std::lower_bound(at, end, spanStart(parts.back().span + 1));
        while (at != end) {
            const size_t span = spanOf(*at);
            if (parts.empty() || span > parts.back().span)
                open(span);
            at = std::lower_bound(at, end, spanStart(span + 1));
        }
        if (channel.count > 0)
            newest = std::max(newest, channel.times[channel.count - 1]);
    }
    if (parts.empty())
        return;
    // Each open file takes the samples from its start to the next file's
    // start, the oldest also those before it and the newest all after it.
    shiftedTimes.resize(round.size());
    for (size_t p = 0; p < parts.size(); ++p) {
        const double shift = spanStart(parts[p].span);
        std::vector<Samples> share;
        for (size_t c = 0; c < round.size(); ++c) {
            const Samples& channel = round[c];
            const double* end = channel.times + channel.count;
            const double* from = p == 0 ? channel.times : std::lower_bound(channel.times, end, shift);
            const double* to = p + 1 == parts.size() ? end : std::lower_bound(from, end, spanStart(parts[p + 1].span));
            const size_t first = static_cast<size_t>(from - channel.times);
            const size_t count = static_cast<size_t>(to - from);
            std::vector<double>& times = shiftedTimes[c];
            times.resize(count);
            for (size_t k = 0; k < count; ++k)
                times[k] = from[k] - shift;
            share.push_back({channel.values + first, times.data(), count});
        }
        parts[p].sink->write(share);
    }
    closeBefore(newest);
}

void SplitSink::finish()
{
    while (!parts.empty()) {
        close(parts.front());
        parts.pop_front();
    }
}

std::string SplitSink::description() const
{
    if (closedPaths.empty())
        return "no file was written (" + partPath(basePath, 1) + " would be the first)";
    if (closedPaths.size() == 1)
        return "1 file: " + closedPaths.front();
    return std::to_string(closedPaths.size()) + " files: " + closedPaths.front() + " to " + closedPaths.back();
}

} // namespace ktcli
