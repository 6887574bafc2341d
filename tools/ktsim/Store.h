// SPDX-License-Identifier: MIT
// Writes the samples of every channel of a running acquisition to a CSV file.
#pragma once

#include "ControlValues.h"
#include "SampleModel.h"

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace ktsim {

class Store {
public:
    // Creates (truncates) the file; throws std::runtime_error on failure.
    Store(const std::string& path, std::shared_ptr<const SampleModel> model, double startDays);

    // Writes the samples due by `elapsed` seconds that are not written yet.
    void write(double elapsed, const ControlValues& controls);

    const std::string& path() const { return storePath; }

private:
    std::string storePath;
    std::shared_ptr<const SampleModel> sampleModel;
    std::ofstream storeFile;
    std::vector<std::uint64_t> next;
};

} // namespace ktsim
