// SPDX-License-Identifier: MIT
#include "ChannelList.h"

#include <charconv>

namespace ktsim {

std::string formatNumber(double value)
{
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string formatFloat(float value)
{
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

namespace {

std::string factor(const Setup& setup, std::string text)
{
    if (setup.decimalComma)
        for (char& c : text)
            if (c == '.')
                c = ',';
    return text;
}

} // namespace

std::string listLine(const Setup& setup, const Channel& ch)
{
    std::string kind;
    switch (ch.kind) {
    case ChannelKind::Sync: kind = std::to_string(ch.divider); break;
    case ChannelKind::Async: kind = "Async"; break;
    case ChannelKind::SingleValue: kind = "SingleValue"; break;
    }
    const std::string fields[] = {
        ch.field0,
        ch.path,
        std::to_string(ch.number),
        ch.field3,
        ch.field4,
        ch.field5,
        ch.name,
        ch.field7,
        ch.unit,
        ch.control ? "-1" : "0",
        kind,
        formatFloat(static_cast<float>(channelRate(setup, ch))),
        ch.field12,
        std::to_string(ch.dataType),
    };
    std::string line;
    for (const std::string& field : fields)
        line += field + '\t';
    if (ch.dataType == 12)
        line += ch.extraField + '\t';
    line += ch.field14 + '\t' + ch.field15 + '\t';
    line += factor(setup, formatFloat(static_cast<float>(ch.scale2))) + '\t';
    line += factor(setup, formatFloat(static_cast<float>(ch.offset2))) + '\t';
    line += factor(setup, formatNumber(ch.scale1)) + '\t';
    line += factor(setup, formatNumber(ch.offset1));
    return line;
}

std::string listReply(const Setup& setup)
{
    std::string reply = "+STX used channels of setup " + setup.name + "\r\n";
    for (const Channel& ch : setup.channels)
        reply += listLine(setup, ch) + "\r\n";
    reply += "+ETX end list\r\n";
    return reply;
}

} // namespace ktsim
