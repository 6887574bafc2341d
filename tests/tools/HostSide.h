// SPDX-License-Identifier: MIT
// A host's view of ktsim, written from the protocol rules independently of
// ktsim's own code: the channel list parser and the data stream decoder. The
// sample sizes on the wire are the library's, so these tests also check that
// ktsim encodes what the library decodes.
#pragma once

#include "net/SampleSize.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace hostside {

enum Kind { Async = 0, Sync = 1, Single = 2 };

struct HostChannel {
    std::string id, listIndex, name, unit;
    bool control = false;
    Kind kind = Sync;
    int divider = 0;
    double rate = -1.0;
    int dataType = 0;
    double scale1 = 0, offset1 = 0, scale2 = 0, offset2 = 0;
    std::size_t fieldCount = 0;
};

inline std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t begin = 0;
    for (;;) {
        std::size_t tab = line.find('\t', begin);
        if (tab == std::string::npos) {
            if (begin < line.size())
                fields.push_back(line.substr(begin));
            return fields;
        }
        fields.push_back(line.substr(begin, tab - begin));
        begin = tab + 1;
    }
}

inline std::string commaToPoint(std::string text)
{
    for (char& c : text)
        if (c == ',')
            c = '.';
    return text;
}

// Reads one list line the way the library does; throws when it is short.
inline HostChannel parseListLine(const std::string& line)
{
    std::vector<std::string> f = splitTabs(line);
    HostChannel ch;
    ch.fieldCount = f.size();
    if (f.size() < 14)
        throw std::runtime_error("short list line");
    ch.dataType = std::atoi(f[13].c_str());
    std::size_t d = ch.dataType == 12 ? 1 : 0;
    if (f.size() < 20 + d)
        throw std::runtime_error("short list line");
    ch.id = "0," + f[1];
    for (char& c : ch.id)
        if (c == ';')
            c = ',';
    ch.listIndex = f[2];
    ch.name = f[6];
    ch.unit = f[8];
    ch.control = f[9] == "-1";
    float field11 = std::strtof(f[11].c_str(), nullptr);
    if (f[10] == "Async") {
        ch.kind = Async;
        ch.rate = field11;
    } else if (f[10] == "SingleValue") {
        ch.kind = Single;
    } else {
        ch.kind = Sync;
        ch.divider = std::atoi(f[10].c_str());
        ch.rate = field11;
    }
    ch.scale2 = std::strtof(commaToPoint(f[16 + d]).c_str(), nullptr);
    ch.offset2 = std::strtof(commaToPoint(f[17 + d]).c_str(), nullptr);
    ch.scale1 = std::strtod(commaToPoint(f[18 + d]).c_str(), nullptr);
    ch.offset1 = std::strtod(commaToPoint(f[19 + d]).c_str(), nullptr);
    return ch;
}

// Every channel line of a LISTUSEDCHS reply (lines between header and last).
inline std::vector<HostChannel> parseList(const std::string& reply)
{
    std::vector<std::string> lines;
    std::string current;
    for (char c : reply) {
        if (c == '\r' || c == '\n') {
            if (!current.empty())
                lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        lines.push_back(current);
    std::vector<HostChannel> channels;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i)
        channels.push_back(parseListLine(lines[i]));
    return channels;
}

struct Series {
    std::vector<double> values, times;
};

// Frames and decodes a data stream; packets with anything out of place are
// counted as rejected and contribute nothing.
class Decoder {
public:
    explicit Decoder(std::vector<HostChannel> channels)
        : hostChannels(std::move(channels)), channelSeries(hostChannels.size())
    {
    }

    void feed(const std::uint8_t* data, std::size_t size)
    {
        buffer.insert(buffer.end(), data, data + size);
        static const std::uint8_t start[8] = {0, 1, 2, 3, 4, 5, 6, 7};
        static const std::uint8_t end[7] = {7, 6, 5, 4, 3, 2, 1};
        for (;;) {
            auto s = std::search(buffer.begin(), buffer.end(), start, start + 8);
            if (s == buffer.end())
                return;
            auto e = std::search(s + 8, buffer.end(), end, end + 7);
            if (e == buffer.end() || buffer.end() - e < 8)
                return;
            std::vector<std::uint8_t> body(s + 8, e);
            garbage += static_cast<std::size_t>(s - buffer.begin());
            buffer.erase(buffer.begin(), e + 8);
            decode(body);
        }
    }
    void feed(const std::vector<std::uint8_t>& bytes) { feed(bytes.data(), bytes.size()); }

    const Series& series(std::size_t block) const { return channelSeries[block]; }
    std::size_t pendingBytes() const { return buffer.size(); }

    int packets = 0, rejected = 0;
    std::size_t garbage = 0;
    double startDays = 0.0;
    std::vector<double> packetDays;
    std::vector<std::int32_t> sequences;

private:
    template <typename T>
    static T read(const std::vector<std::uint8_t>& b, std::size_t at)
    {
        T value;
        std::memcpy(&value, b.data() + at, sizeof value);
        return value;
    }

    double convert(const HostChannel& ch, const std::vector<std::uint8_t>& b, std::size_t at) const
    {
        double raw = 0;
        switch (ch.dataType) {
        case 0:
        case 1: raw = b[at]; break;
        case 2: raw = read<std::int16_t>(b, at); break;
        case 3: raw = read<std::uint16_t>(b, at); break;
        case 4: raw = read<std::int32_t>(b, at); break;
        case 5: return read<float>(b, at);
        case 6: return static_cast<double>(read<std::int64_t>(b, at));
        case 7: return read<double>(b, at);
        }
        double v = raw * ch.scale1 + ch.offset1;
        if (ch.scale2 != 0.0)
            v = v * ch.scale2;
        if (ch.offset2 != 0.0)
            v = v + ch.offset2;
        return v;
    }

    void decode(const std::vector<std::uint8_t>& body)
    {
        if (body.size() < 28) {
            ++rejected;
            return;
        }
        // Check the whole packet before keeping anything from it.
        std::vector<Series> add(hostChannels.size());
        std::size_t p = 28;
        for (std::size_t c = 0; c < hostChannels.size(); ++c) {
            const HostChannel& ch = hostChannels[c];
            std::size_t s = static_cast<std::size_t>(ktremote::sampleSizeOf(ch.dataType));
            if (p + 4 > body.size()) {
                ++rejected;
                return;
            }
            std::int32_t n = read<std::int32_t>(body, p);
            if (n < 0 || (ch.kind == Single && n > 1)) {
                ++rejected;
                return;
            }
            std::size_t un = static_cast<std::size_t>(n);
            std::size_t length = ch.kind == Sync ? un * s : ch.kind == Async ? un * (s + 8) : s;
            if (length > body.size() - p - 4) {
                ++rejected;
                return;
            }
            bool decodes = ch.dataType >= 0 && ch.dataType <= 7;
            for (std::size_t i = 0; decodes && i < (ch.kind == Single ? un : un); ++i) {
                add[c].values.push_back(convert(ch, body, p + 4 + i * s));
                if (ch.kind == Async)
                    add[c].times.push_back(read<double>(body, p + 4 + un * s + 8 * i));
            }
            p += 4 + length;
        }
        double days = read<double>(body, 20);
        if (packets == 0)
            startDays = days;
        ++packets;
        packetDays.push_back(days);
        sequences.push_back(read<std::int32_t>(body, 0));
        for (std::size_t c = 0; c < hostChannels.size(); ++c) {
            channelSeries[c].values.insert(channelSeries[c].values.end(), add[c].values.begin(), add[c].values.end());
            channelSeries[c].times.insert(channelSeries[c].times.end(), add[c].times.begin(), add[c].times.end());
        }
    }

    std::vector<HostChannel> hostChannels;
    std::vector<Series> channelSeries;
    std::vector<std::uint8_t> buffer;
};

} // namespace hostside
