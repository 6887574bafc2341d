// SPDX-License-Identifier: MIT
#include "Recordings.h"

#include "Process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace ktremote::e2e {

namespace {

std::string unescape(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    }
    return out;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        out.push_back(line.substr(start, tab - start));
    out.push_back(line.substr(start));
    return out;
}

std::vector<double> readDoubles(const std::string& path)
{
    const std::string bytes = readFile(path);
    std::vector<double> values(bytes.size() / sizeof(double));
    if (!values.empty())
        std::copy(bytes.data(), bytes.data() + values.size() * sizeof(double), reinterpret_cast<char*>(values.data()));
    return values;
}

} // namespace

double ReadAttribute::number() const { return std::strtod(text.c_str(), nullptr); }

std::string ReadGroup::text(const std::string& attribute) const
{
    const auto it = attributes.find(attribute);
    return it == attributes.end() ? std::string("<missing>") : it->second.text;
}

const ReadGroup* ReadRecording::channel(const std::string& name) const
{
    for (const ReadGroup& group : groups)
        if (group.text("name") == name)
            return &group;
    return nullptr;
}

ReadRecording readRecording(const std::string& path, const std::string& workDir)
{
    ReadRecording recording;
    const RunResult run =
        runToEnd("/usr/bin/python3", {READ_RECORDING_SCRIPT, path, workDir}, std::chrono::seconds(60));
    if (run.status != 0) {
        recording.error = "read_recording.py exited with " + std::to_string(run.status) + ": " + run.err;
        return recording;
    }
    std::ifstream listing(workDir + "/listing.txt");
    std::string line;
    while (std::getline(listing, line)) {
        const std::vector<std::string> f = fields(line);
        if (f.size() == 5 && f[0] == "attr") {
            ReadAttribute attribute{f[3], f[3] == "float" || f[3] == "int" ? f[4] : unescape(f[4])};
            if (f[1] == "/")
                recording.attributes[f[2]] = attribute;
            else if (!recording.groups.empty())
                recording.groups.back().attributes[f[2]] = attribute;
        } else if (f.size() == 4 && f[0] == "segment") {
            recording.segments.push_back(
                {std::strtod(f[1].c_str(), nullptr), std::strtod(f[2].c_str(), nullptr), unescape(f[3])});
        } else if (f.size() == 3 && f[0] == "group") {
            recording.groups.push_back({unescape(f[2]), {}, {}});
        } else if (f.size() == 9 && f[0] == "data" && !recording.groups.empty()) {
            ReadDataset dataset{f[3],
                                std::stoull(f[4]),
                                f[5],
                                f[6],
                                f[7],
                                f[8],
                                readDoubles(workDir + "/" + f[1] + "." + f[2] + ".f64")};
            recording.groups.back().datasets[f[2]] = dataset;
        }
    }
    return recording;
}

} // namespace ktremote::e2e
