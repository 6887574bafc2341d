// SPDX-License-Identifier: MIT
#include "Faults.h"

#include "Waveform.h"

#include <charconv>
#include <stdexcept>

namespace ktsim {
namespace {

int number(const std::string& faultText, const std::string& text, int lo, int hi)
{
    int value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < lo || value > hi)
        throw std::invalid_argument("--fault " + faultText + ": '" + text + "' must be a number from " +
                                    std::to_string(lo) + " to " + std::to_string(hi));
    return value;
}

CommandTrigger trigger(const std::string& faultText, const std::string& value)
{
    if (value.empty())
        throw std::invalid_argument("--fault " + faultText + " needs a command, e.g. " + faultText + "GETSTATUS");
    CommandTrigger t;
    std::size_t hash = value.find('#');
    t.command = value.substr(0, hash);
    if (hash != std::string::npos)
        t.occurrence = number(faultText, value.substr(hash + 1), 1, 1000000);
    return t;
}

} // namespace

bool FaultPlan::any() const
{
    return splitReplies >= 0 || splitPackets >= 0 || noGreeting || !closeOn.empty() || !silentOn.empty() ||
        !errorOn.empty() || !extraAfter.empty() || garbageBytes > 0 || !malformed.empty() || coalesce > 1 ||
        secondDataConnection;
}

std::string unescapeText(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size()) {
            unsigned value = 0;
            auto [ptr, ec] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
            if (ec != std::errc() || ptr != text.data() + i + 3)
                throw std::invalid_argument("bad \\x escape in '" + text + "'");
            out += static_cast<char>(value);
            i += 2;
        } else
            out += c;
    }
    return out;
}

FaultPlan parseFaults(const std::vector<std::string>& faultTexts)
{
    FaultPlan plan;
    for (const std::string& faultText : faultTexts) {
        std::size_t eq = faultText.find('=');
        std::string name = faultText.substr(0, eq);
        bool hasValue = eq != std::string::npos;
        std::string value = hasValue ? faultText.substr(eq + 1) : std::string();
        auto valueOr = [&](int fallback, int lo, int hi) {
            return hasValue ? number(faultText, value, lo, hi) : fallback;
        };
        auto noValue = [&] {
            if (hasValue)
                throw std::invalid_argument("--fault " + name + " takes no value");
        };

        if (name == "split-replies")
            plan.splitReplies = valueOr(2, 0, 10000);
        else if (name == "split-packets")
            plan.splitPackets = valueOr(2, 0, 10000);
        else if (name == "no-greeting") {
            noValue();
            plan.noGreeting = true;
        } else if (name == "close-on")
            plan.closeOn.push_back(trigger("close-on=", value));
        else if (name == "silent-on")
            plan.silentOn.push_back(trigger("silent-on=", value));
        else if (name == "error-on")
            plan.errorOn.push_back(trigger("error-on=", value));
        else if (name == "extra-after-reply")
            plan.extraAfter.push_back({"", hasValue ? unescapeText(value) : "junk"});
        else if (name == "extra-after") {
            std::size_t colon = value.find(':');
            if (value.empty() || colon == 0)
                throw std::invalid_argument("--fault extra-after needs CMD[:TEXT]");
            plan.extraAfter.push_back(
                {value.substr(0, colon), colon == std::string::npos ? "junk" : unescapeText(value.substr(colon + 1))});
        } else if (name == "garbage")
            plan.garbageBytes = valueOr(16, 1, 1 << 20);
        else if (name == "short-body")
            plan.malformed.push_back({MalformedKind::ShortBody, valueOr(10, 1, 1 << 30)});
        else if (name == "block-past-body")
            plan.malformed.push_back({MalformedKind::BlockPastBody, valueOr(10, 1, 1 << 30)});
        else if (name == "negative-count")
            plan.malformed.push_back({MalformedKind::NegativeCount, valueOr(10, 1, 1 << 30)});
        else if (name == "huge-count")
            plan.malformed.push_back({MalformedKind::HugeCount, valueOr(10, 1, 1 << 30)});
        else if (name == "coalesce")
            plan.coalesce = valueOr(3, 1, 10000);
        else if (name == "second-data-connection") {
            noValue();
            plan.secondDataConnection = true;
        } else
            throw std::invalid_argument("unknown fault '" + faultText + "' (see ktsim --help)");
    }
    return plan;
}

std::uint64_t FaultRandom::next() { return mixBits(randomSeed, counter++); }

} // namespace ktsim

#include "PacketEncoder.h"

namespace ktsim {

void appendMalformedPacket(std::vector<std::uint8_t>& out, MalformedKind kind, double timeDays, int sampleSize)
{
    std::size_t bodyStart = out.size() + 8;
    out.insert(out.end(), std::begin(startMarker), std::end(startMarker));
    appendInt32(out, -1); // sequence number of an injected packet
    appendInt32(out, 1);
    appendInt32(out, 0);
    if (kind != MalformedKind::ShortBody) {
        out.insert(out.end(), 8, 0);
        appendFloat64(out, timeDays);
        switch (kind) {
        case MalformedKind::BlockPastBody:
            appendInt32(out, 5);
            out.insert(out.end(), static_cast<std::size_t>(sampleSize > 1 ? sampleSize - 1 : 0), 0);
            break;
        case MalformedKind::NegativeCount: appendInt32(out, -1); break;
        case MalformedKind::HugeCount: appendInt32(out, 0x7fffffff); break;
        case MalformedKind::ShortBody: break;
        }
    }
    auto length = static_cast<std::uint32_t>(out.size() - bodyStart);
    for (int i = 0; i < 4; ++i)
        out[bodyStart + 8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    out.insert(out.end(), std::begin(endMarker), std::end(endMarker));
}

} // namespace ktsim
