// SPDX-License-Identifier: MIT
#include "CsvSink.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <stdio_ext.h>

#include <unistd.h>

namespace ktcli {

// The library writes a line of its own to standard output for every data
// connection it accepts; so that it cannot end up among the CSV rows, a CSV
// for standard output is written to a duplicate of it, and standard output
// itself is sent to standard error from then on.
CsvSink::CsvSink(const std::string& path, const std::vector<std::string>& names, const std::vector<std::string>& units)
    : outPath(path), toStdout(path == "-")
{
    if (toStdout) {
        std::fflush(stdout);
        const int copy = ::dup(STDOUT_FILENO);
        if (copy < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || (outFile = ::fdopen(copy, "w")) == nullptr)
            throw std::runtime_error("cannot write the CSV to standard output");
        // Standard output is now standard error: line by line, so that the
        // library's line stands where it happened among ktcli's messages.
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    } else {
        outFile = std::fopen(path.c_str(), "w");
        if (outFile == nullptr)
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
    writer = std::make_unique<CsvWriter>(outFile, names, units);
}

CsvSink::~CsvSink()
{
    if (outFile != nullptr)
        std::fclose(outFile);
}

void CsvSink::failed(int error)
{
    if (error == EPIPE) {
        outputGone = true;
        return;
    }
    if (toStdout)
        throw WriteFailure("cannot write the CSV to standard output: " + std::string(std::strerror(error)));
    // What the buffer still holds is dropped; the file keeps its whole rows.
    const long keep = std::max(flushedBytes, 0L);
    __fpurge(outFile);
    const bool cut = ::ftruncate(fileno(outFile), keep) == 0;
    std::fclose(outFile);
    outFile = nullptr;
    char held[64];
    if (flushedUntil > -1.0e300)
        std::snprintf(held, sizeof held, "the first %.1f s", flushedUntil);
    else
        std::snprintf(held, sizeof held, "no samples");
    const std::string what = error == ENOSPC ? "no space left on the device while writing " + outPath
                                             : "cannot write " + outPath + " (" + std::strerror(error) + ")";
    throw WriteFailure(what + "; it holds " + (cut ? "" : "at most ") + held);
}

void CsvSink::write(const std::vector<Samples>& round)
{
    if (outputGone)
        return;
    if (outFile == nullptr)
        throw WriteFailure("cannot write " + outPath + ": it was closed after a failed write");
    if (flushedBytes < 0 && !toStdout) {
        // The header: kept even when the first rows fail.
        if (std::fflush(outFile) != 0)
            return failed(errno != 0 ? errno : EIO);
        flushedBytes = std::ftell(outFile);
    }
    if (!writer->writeRound(round))
        return failed(writer->error());
    for (const Samples& channel : round)
        if (channel.count > 0)
            writtenUntil = std::max(writtenUntil, channel.times[channel.count - 1]);
    // Each round goes out whole, so a reader of a pipe sees it at once and
    // a closed pipe shows within a round.
    errno = 0;
    if (std::fflush(outFile) != 0)
        return failed(errno != 0 ? errno : EIO);
    if (!toStdout)
        flushedBytes = std::ftell(outFile);
    flushedUntil = writtenUntil;
}

void CsvSink::finish()
{
    if (outputGone || outFile == nullptr)
        return;
    errno = 0;
    if (std::fflush(outFile) != 0 || std::ferror(outFile))
        return failed(writer->error() != 0 ? writer->error() : (errno != 0 ? errno : EIO));
    // Closed at once, so that a split recording's finished file is complete.
    std::FILE* closing = outFile;
    outFile = nullptr;
    if (std::fclose(closing) != 0 && !toStdout)
        throw WriteFailure("cannot write " + outPath + " (" + std::strerror(errno) + ")");
}

std::string CsvSink::description() const
{
    if (toStdout)
        return "";
    return "CSV: " + std::to_string(writer->rows()) + " rows in " + outPath;
}

} // namespace ktcli
