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
    : path_(path), toStdout_(path == "-")
{
    if (toStdout_) {
        std::fflush(stdout);
        const int copy = ::dup(STDOUT_FILENO);
        if (copy < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || (file_ = ::fdopen(copy, "w")) == nullptr)
            throw std::runtime_error("cannot write the CSV to standard output");
    } else {
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr)
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    }
    writer_ = std::make_unique<CsvWriter>(file_, names, units);
}

CsvSink::~CsvSink()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

void CsvSink::failed(int error)
{
    if (error == EPIPE) {
        gone_ = true;
        return;
    }
    throw std::runtime_error("cannot write the CSV to " + (toStdout_ ? std::string("standard output") : path_) + ": " +
                             std::strerror(error));
}

void CsvSink::write(const std::vector<Samples>& round)
{
    if (gone_)
        return;
    if (!writer_->writeRound(round))
        return failed(writer_->error());
    // Each round goes out whole, so a reader of a pipe sees it at once and
    // a closed pipe shows within a round.
    errno = 0;
    if (std::fflush(file_) != 0)
        failed(errno != 0 ? errno : EIO);
}

void CsvSink::finish()
{
    if (gone_)
        return;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_))
        failed(writer_->error() != 0 ? writer_->error() : (errno != 0 ? errno : EIO));
}

std::string CsvSink::description() const
{
    if (toStdout_)
        return "";
    return "CSV: " + std::to_string(writer_->rows()) + " rows in " + path_;
}

} // namespace ktcli
