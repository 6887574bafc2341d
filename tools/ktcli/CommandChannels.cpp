// SPDX-License-Identifier: MIT
// ktcli channels: the channel list as a table, CSV or JSON.

#include "Commands.h"
#include "Connection.h"
#include "Json.h"
#include "StreamOutput.h"

#include <algorithm>
#include <array>
#include <limits>
#include <cstdio>
#include <string>
#include <vector>

namespace ktcli {

namespace {

struct ChannelRow {
    std::string id;
    std::string name;
    std::string unit;
    ktremote::ChannelType type;
    double rate; // NaN for a single-value channel, which has none
    bool control;
};

// Display width of a UTF-8 text: one column per character.
size_t columns(const std::string& text)
{
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string rateText(double rate) { return rate == rate ? shortestText(rate) : "-"; }

// Aligned columns; an empty cell shows as "-", so that every line has the
// same number of words.
void printTable(const std::vector<ChannelRow>& channels)
{
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows = {{"ID", "NAME", "UNIT", "TYPE", "RATE", "CONTROL"}};
    auto cell = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    for (const ChannelRow& c : channels)
        rows.push_back(
            {cell(c.id), cell(c.name), cell(c.unit), typeName(c.type), rateText(c.rate), c.control ? "yes" : "no"});
    std::array<size_t, 6> width{};
    for (const Row& row : rows)
        for (size_t k = 0; k < row.size(); ++k)
            width[k] = std::max(width[k], columns(row[k]));
    for (const Row& row : rows) {
        std::string line;
        for (size_t k = 0; k < row.size(); ++k) {
            line += row[k];
            if (k + 1 < row.size())
                line += std::string(width[k] - columns(row[k]) + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

void printCsv(const std::vector<ChannelRow>& channels)
{
    auto quoted = [](const std::string& text) {
        std::string out = "\"";
        for (const char c : text)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        return out + "\"";
    };
    std::printf("\"id\",\"name\",\"unit\",\"type\",\"sampleRate\",\"control\"\n");
    for (const ChannelRow& c : channels)
        std::printf("%s,%s,%s,\"%s\",%s,\"%s\"\n", quoted(c.id).c_str(), quoted(c.name).c_str(), quoted(c.unit).c_str(),
                    typeName(c.type), quoted(c.rate == c.rate ? shortestText(c.rate) : "").c_str(),
                    c.control ? "yes" : "no");
}

void printJson(const std::vector<ChannelRow>& channels)
{
    std::printf("[");
    for (size_t k = 0; k < channels.size(); ++k) {
        const ChannelRow& c = channels[k];
        std::printf("%s\n  {\"id\": %s, \"name\": %s, \"unit\": %s, \"type\": \"%s\", \"sampleRate\": %s, "
                    "\"control\": %s}",
                    k == 0 ? "" : ",", jsonString(c.id).c_str(), jsonString(c.name).c_str(), jsonString(c.unit).c_str(),
                    typeName(c.type), jsonNumber(c.rate).c_str(), c.control ? "true" : "false");
    }
    std::printf("%s]\n", channels.empty() ? "" : "\n");
}

} // namespace

int runChannels(const Arguments& arguments)
{
    const std::string format = choice(arguments, "format", {"table", "csv", "json"});
    Connection connection(arguments);
    std::vector<ChannelRow> rows;
    for (OpenChannel& open : connection.openAll()) {
        double rate = std::numeric_limits<double>::quiet_NaN();
        if (open.type != ktremote::ChannelType::SingleValue)
            rate = request("cannot read the sample rate of " + open.name, [&] { return open.channel.sampleRate(); });
        rows.push_back({open.id, open.name, open.unit, open.type, rate, open.control});
    }
    if (format == "json")
        printJson(rows);
    else if (format == "csv")
        printCsv(rows);
    else
        printTable(rows);
    return 0;
}

} // namespace ktcli
