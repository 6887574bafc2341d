// SPDX-License-Identifier: MIT
#include "StreamOptions.h"

#include "Hdf5Recorder.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <stdexcept>

namespace ktcli {

namespace {

bool hasHdf5Suffix(const std::string& path)
{
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto endsWith = [&](const std::string& suffix) {
        return lower.size() > suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return endsWith(".h5") || endsWith(".hdf5");
}

} // namespace

StreamOptions streamOptions(const Arguments& arguments)
{
    StreamOptions options;
    options.duration = arguments.number("duration", 5.0);
    if (options.duration < 0.0)
        throw UsageError("--duration must not be negative");
    if (arguments.has("buffer-size")) {
        const long size = arguments.integer("buffer-size", 0);
        if (size < 1 || size > INT_MAX)
            throw UsageError("--buffer-size must be between 1 and " + std::to_string(INT_MAX));
        options.bufferSize = static_cast<int>(size);
    }
    options.path = arguments.text("output", "-");
    options.hdf5 =
        arguments.has("format") ? choice(arguments, "format", {"csv", "hdf5"}) == "hdf5" : hasHdf5Suffix(options.path);
    options.compress = arguments.has("compress");
    options.quiet = arguments.has("quiet");
    options.force = arguments.has("force");
    options.allowLoss = arguments.has("allow-loss");
    options.reconnect = arguments.has("reconnect");
    if (options.reconnect && !arguments.text("reconnect", "").empty()) {
        options.reconnectLimit = arguments.number("reconnect", 0.0);
        if (*options.reconnectLimit <= 0.0)
            throw UsageError("--reconnect=SECONDS must be more than 0");
    }
    if (arguments.has("split")) {
        options.split = arguments.number("split", 0.0);
        if (options.split <= 0.0)
            throw UsageError("--split must be more than 0 seconds");
        if (options.path == "-")
            throw UsageError("--split writes files: give --output FILE");
    }
    if (options.hdf5 && options.path == "-")
        throw UsageError("HDF5 goes to a file: give --output FILE");
    if (options.compress && !options.hdf5)
        throw UsageError("--compress applies to HDF5 recordings only");
    // A ktcli built without HDF5 says so before it connects to anything.
    if (options.hdf5 && !Hdf5Recorder::available())
        throw std::runtime_error("ktcli was built without HDF5 support");
    return options;
}

} // namespace ktcli
