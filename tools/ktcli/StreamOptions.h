// SPDX-License-Identifier: MIT
// The options of ktcli stream, checked before anything connects.
#pragma once

#include "Cli.h"

#include <optional>
#include <string>

namespace ktcli {

struct StreamOptions {
    double duration = 5.0;
    std::optional<int> bufferSize;
    std::string path = "-";
    bool hdf5 = false;
    bool compress = false;
    bool quiet = false;
    bool force = false;
    bool allowLoss = false;
    bool reconnect = false;
    // Seconds without the application after which --reconnect gives up;
    // none: it keeps trying until the duration ends.
    std::optional<double> reconnectLimit;
    double split = 0.0; // seconds per file; 0: one file
};

// Throws UsageError for options that do not fit together.
StreamOptions streamOptions(const Arguments& arguments);

} // namespace ktcli
