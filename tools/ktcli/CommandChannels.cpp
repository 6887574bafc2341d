// ktcli channels: the channel table.

#include "Commands.h"
#include "Session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace ktcli {

namespace {

std::string rateText(const Channel& channel)
{
    if (channel.type() == KX_CHANNEL_SINGLE_VALUE)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%g", channel.sampleRate());
    return text;
}

// Display width of a UTF-8 text: one column per character.
size_t columns(const std::string& text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                             [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

int runChannels(const Arguments& arguments)
{
    Session session(arguments);
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows = {{"ID", "NAME", "UNIT", "TYPE", "RATE", "CONTROL"}};
    for (const auto& channel : session.openAll())
        rows.push_back({channel->id(), channel->name(), channel->unit(), typeName(channel->type()),
                        rateText(*channel), channel->isControl() ? "yes" : "no"});

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
    return 0;
}

}  // namespace ktcli
