// SPDX-License-Identifier: MIT
#pragma once

// Builders for the application's used-channel list in tests.

#include <string>
#include <vector>

namespace ktremote::test {

// A well-formed line of a synchronous channel with data type 2; tests change
// single fields.
class Line {
public:
    Line& set(size_t field, std::string text)
    {
        if (field >= fields.size())
            fields.resize(field + 1);
        fields[field] = std::move(text);
        return *this;
    }
    Line& resize(size_t count)
    {
        fields.resize(count);
        return *this;
    }
    // Shorthands for the fields tests change most.
    Line& id(std::string text) { return set(1, std::move(text)); }
    Line& name(std::string text) { return set(6, std::move(text)); }

    std::string text() const
    {
        std::string line;
        for (size_t k = 0; k < fields.size(); ++k)
            line += (k > 0 ? "\t" : "") + fields[k];
        return line;
    }

private:
    std::vector<std::string> fields = {"f0", "3;1",  "7",  "0", "f4", "f5", "Speed", "f7",  "km/h", "0",
                                       "4",  "1000", "12", "2", "14", "15", "0.5",   "1.5", "2.5",  "3.5"};
};

// A whole list reply: a header, the channel lines and the closing line.
inline std::string listReply(const std::vector<Line>& lines)
{
    std::string text = "+OK used channels\r\n";
    for (const auto& line : lines)
        text += line.text() + "\r\n";
    return text + "+ETX end list\r\n";
}

} // namespace ktremote::test
