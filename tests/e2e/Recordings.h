// SPDX-License-Identifier: MIT
#pragma once

// HDF5 recordings read back the way a user's script reads them: with
// Debian's h5py, by read_recording.py, whose listing is parsed here.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ktremote::e2e {

struct ReadAttribute {
    std::string kind; // "str", "float", "int", "bytes" or "other"
    std::string text; // strings unescaped; floats as C99 hex text
    double number() const;
};

struct ReadDataset {
    std::string dtype; // numpy's type text, "<f8" for little-endian float64
    uint64_t length = 0;
    std::string chunks;   // chunk length, "none" when not chunked
    std::string maxshape; // "unlimited" or the fixed length
    std::string compression;
    std::string level;
    std::vector<double> data;
};

struct ReadGroup {
    std::string name;
    std::map<std::string, ReadAttribute> attributes;
    std::map<std::string, ReadDataset> datasets;
    std::string text(const std::string& attribute) const;
};

// A row of the root dataset "segments".
struct ReadSegment {
    double start;
    double end;
    std::string reason;
};

struct ReadRecording {
    std::string error; // h5py's complaint when the file could not be read
    std::map<std::string, ReadAttribute> attributes;
    std::vector<ReadSegment> segments;
    std::vector<ReadGroup> groups;
    // The group whose "name" attribute is the channel name; null when none.
    const ReadGroup* channel(const std::string& name) const;
};

// Reads the file with /usr/bin/python3 and h5py; workDir takes the
// listing and the dataset files.
ReadRecording readRecording(const std::string& path, const std::string& workDir);

} // namespace ktremote::e2e
