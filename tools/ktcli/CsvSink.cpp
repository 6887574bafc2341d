// SPDX-License-Identifier: MIT
#include "CsvSink.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

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
    throw std::runtime_error("cannot write the CSV to " + (toStdout ? std::string("standard output") : outPath) + ": " +
                             std::strerror(error));
}

void CsvSink::write(const std::vector<Samples>& round)
{
    if (outputGone)
        return;
    if (!writer->writeRound(round))
        return failed(writer->error());
    // Each round goes out whole, so a reader of a pipe sees it at once and
    // a closed pipe shows within a round.
    errno = 0;
    if (std::fflush(outFile) != 0)
        failed(errno != 0 ? errno : EIO);
}

void CsvSink::finish()
{
    if (outputGone)
        return;
    errno = 0;
    if (std::fflush(outFile) != 0 || std::ferror(outFile))
        failed(writer->error() != 0 ? writer->error() : (errno != 0 ? errno : EIO));
}

std::string CsvSink::description() const
{
    if (toStdout)
        return "";
    return "CSV: " + std::to_string(writer->rows()) + " rows in " + outPath;
}

} // namespace ktcli
