// SPDX-License-Identifier: MIT
#include "SetupParser.h"

#include <charconv>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

namespace ktsim {
namespace {

class LineReader {
public:
    LineReader(const std::string& origin, int line) : origin(origin), line(line) {}

    [[noreturn]] void fail(const std::string& what) const
    {
        throw SetupError(origin + ":" + std::to_string(line) + ": " + what);
    }

    // Splits at blanks; double quotes group blanks into one token and accept
    // \" and \\ inside.
    std::vector<std::string> tokens(const std::string& text) const
    {
        std::vector<std::string> out;
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
                ++i;
            if (i >= text.size())
                break;
            std::string token;
            while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
                if (text[i] != '"') {
                    token += text[i++];
                    continue;
                }
                ++i;
                while (i < text.size() && text[i] != '"') {
                    if (text[i] == '\\' && i + 1 < text.size())
                        ++i;
                    token += text[i++];
                }
                if (i >= text.size())
                    fail("missing closing quote");
                ++i;
            }
            out.push_back(token);
        }
        return out;
    }

    double real(const std::string& key, const std::string& text) const
    {
        double value = 0.0;
        const char* end = text.data() + text.size();
        auto [ptr, ec] = std::from_chars(text.data(), end, value);
        if (ec != std::errc() || ptr != end)
            fail("'" + key + "' needs a number, not '" + text + "'");
        return value;
    }

    long long integer(const std::string& key, const std::string& text, long long lo, long long hi) const
    {
        long long value = 0;
        const char* end = text.data() + text.size();
        auto [ptr, ec] = std::from_chars(text.data(), end, value);
        if (ec != std::errc() || ptr != end || value < lo || value > hi)
            fail("'" + key + "' needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                 ", not '" + text + "'");
        return value;
    }

    bool flag(const std::string& key, const std::string& text) const
    {
        if (text == "yes" || text == "true" || text == "1")
            return true;
        if (text == "no" || text == "false" || text == "0")
            return false;
        fail("'" + key + "' needs yes or no, not '" + text + "'");
    }

    // Text that goes into a tab-separated list line.
    std::string field(const std::string& key, const std::string& text) const
    {
        if (text.find_first_of("\t\r\n") != std::string::npos)
            fail("'" + key + "' must not contain tabs or line breaks");
        return text;
    }

    std::string origin;
    int line;
};

int dataTypeCode(const LineReader& in, const std::string& text)
{
    static const std::pair<const char*, int> names[] = {
        {"int16", 2}, {"uint16", 3}, {"int32", 4}, {"float32", 5}, {"int64", 6}, {"float64", 7},
    };
    for (const auto& [name, code] : names)
        if (text == name)
            return code;
    return static_cast<int>(in.integer("type", text, -1000, 1000));
}

void setChannelKey(const LineReader& in, Channel& ch, const std::string& key, const std::string& value)
{
    Waveform& w = ch.wave;
    if (key == "name")
        ch.name = in.field(key, value);
    else if (key == "unit")
        ch.unit = in.field(key, value);
    else if (key == "path")
        ch.path = in.field(key, value);
    else if (key == "number")
        ch.number = static_cast<int>(in.integer(key, value, -2147483647, 2147483647));
    else if (key == "kind") {
        if (value == "sync")
            ch.kind = ChannelKind::Sync;
        else if (value == "async")
            ch.kind = ChannelKind::Async;
        else if (value == "single")
            ch.kind = ChannelKind::SingleValue;
        else
            in.fail("'kind' is sync, async or single, not '" + value + "'");
    } else if (key == "divider")
        ch.divider = static_cast<int>(in.integer(key, value, 0, 1000000000));
    else if (key == "rate") {
        ch.rate = in.real(key, value);
        if (!(ch.rate >= 0.0 && ch.rate <= 1e9))
            in.fail("'rate' must be from 0 to 1e9");
    } else if (key == "type")
        ch.dataType = dataTypeCode(in, value);
    else if (key == "scale1")
        ch.scale1 = in.real(key, value);
    else if (key == "offset1")
        ch.offset1 = in.real(key, value);
    else if (key == "scale2")
        ch.scale2 = static_cast<float>(in.real(key, value));
    else if (key == "offset2")
        ch.offset2 = static_cast<float>(in.real(key, value));
    else if (key == "control")
        ch.control = in.flag(key, value);
    else if (key == "wave") {
        static const std::pair<const char*, WaveShape> shapes[] = {
            {"sine", WaveShape::Sine},   {"ramp", WaveShape::Ramp},         {"counter", WaveShape::Counter},
            {"noise", WaveShape::Noise}, {"constant", WaveShape::Constant},
        };
        bool known = false;
        for (const auto& [name, shape] : shapes)
            if (value == name) {
                w.shape = shape;
                known = true;
            }
        if (!known)
            in.fail("'wave' is sine, ramp, counter, noise or constant, not '" + value + "'");
    } else if (key == "amplitude")
        w.amplitude = in.real(key, value);
    else if (key == "frequency")
        w.frequency = in.real(key, value);
    else if (key == "phase")
        w.phase = in.real(key, value);
    else if (key == "center")
        w.center = in.real(key, value);
    else if (key == "min")
        w.min = in.real(key, value);
    else if (key == "max")
        w.max = in.real(key, value);
    else if (key == "period") {
        w.period = in.real(key, value);
        if (!(w.period > 0.0))
            in.fail("'period' must be above 0");
    } else if (key == "start")
        w.start = in.real(key, value);
    else if (key == "step")
        w.step = in.real(key, value);
    else if (key == "wrap")
        w.wrap = static_cast<std::uint64_t>(in.integer(key, value, 0, 1LL << 53));
    else if (key == "seed")
        w.seed = static_cast<std::uint64_t>(in.integer(key, value, 0, 1LL << 53));
    else if (key == "value")
        w.value = in.real(key, value);
    else if (key == "field0")
        ch.field0 = in.field(key, value);
    else if (key == "field3")
        ch.field3 = in.field(key, value);
    else if (key == "field4")
        ch.field4 = in.field(key, value);
    else if (key == "field5")
        ch.field5 = in.field(key, value);
    else if (key == "field7")
        ch.field7 = in.field(key, value);
    else if (key == "field12")
        ch.field12 = in.field(key, value);
    else if (key == "field14")
        ch.field14 = in.field(key, value);
    else if (key == "field15")
        ch.field15 = in.field(key, value);
    else if (key == "extra")
        ch.extraField = in.field(key, value);
    else
        in.fail("unknown channel key '" + key + "'");
}

Channel parseChannel(const LineReader& in, const std::vector<std::string>& tokens, int defaultNumber)
{
    Channel ch;
    ch.number = defaultNumber;
    bool named = false, pathed = false;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        std::size_t eq = tokens[i].find('=');
        if (eq == std::string::npos || eq == 0)
            in.fail("expected key=value, got '" + tokens[i] + "'");
        std::string key = tokens[i].substr(0, eq);
        named = named || key == "name";
        pathed = pathed || key == "path";
        setChannelKey(in, ch, key, tokens[i].substr(eq + 1));
    }
    if (!named)
        ch.name = "Channel" + std::to_string(ch.number);
    if (!pathed)
        ch.path = std::to_string(ch.number);
    if (ch.control)
        ch.wave.shape = WaveShape::Constant;
    return ch;
}

} // namespace

Setup parseSetup(const std::string& text, const std::string& origin)
{
    Setup setup;
    std::set<int> numbers;
    int nextNumber = 1;

    // Join continuation lines to their channel line first, remembering where
    // each logical line started.
    std::vector<std::pair<int, std::string>> lines;
    std::istringstream stream(text);
    std::string raw;
    for (int lineNo = 1; std::getline(stream, raw); ++lineNo) {
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        // '#' starts a comment unless it is inside a quoted value.
        bool quoted = false;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '"')
                quoted = !quoted;
            else if (raw[i] == '#' && !quoted) {
                raw.erase(i);
                break;
            }
        }
        if (raw.find_first_not_of(" \t") == std::string::npos)
            continue;
        if ((raw[0] == ' ' || raw[0] == '\t') && !lines.empty())
            lines.back().second += " " + raw;
        else
            lines.emplace_back(lineNo, raw);
    }

    for (const auto& [lineNo, line] : lines) {
        LineReader in(origin, lineNo);
        std::vector<std::string> tokens = in.tokens(line);
        const std::string& word = tokens[0];
        if (word == "channel") {
            Channel ch = parseChannel(in, tokens, nextNumber);
            if (!numbers.insert(ch.number).second)
                in.fail("channel number " + std::to_string(ch.number) + " is used twice");
            nextNumber = ch.number + 1;
            setup.channels.push_back(std::move(ch));
            continue;
        }
        if (tokens.size() != 2)
            in.fail("'" + word + "' takes one value");
        if (word == "setup")
            setup.name = tokens[1];
        else if (word == "rate") {
            setup.rate = in.real("rate", tokens[1]);
            if (!(setup.rate > 0.0 && setup.rate <= 1e9))
                in.fail("'rate' must be above 0 and at most 1e9");
        } else if (word == "decimal-comma")
            setup.decimalComma = in.flag(word, tokens[1]);
        else
            in.fail("unknown line '" + word + "'");
    }
    return setup;
}

Setup loadSetup(const std::string& pathOrBuiltin)
{
    static const std::string prefix = "builtin:";
    if (pathOrBuiltin.compare(0, prefix.size(), prefix) == 0) {
        // A built-in setup's text never changes, so it is parsed once and
        // each caller gets its own copy. "LOADSETUP builtin:..." costs a copy
        // rather than a parse of several hundred channel fields.
        static std::mutex mutex;
        static std::map<std::string, Setup> parsed;
        std::lock_guard<std::mutex> lock(mutex);
        auto it = parsed.find(pathOrBuiltin);
        if (it == parsed.end()) {
            std::string name = pathOrBuiltin.substr(prefix.size());
            it = parsed.emplace(pathOrBuiltin, parseSetup(builtinSetupText(name), pathOrBuiltin)).first;
        }
        return it->second;
    }
    std::ifstream file(pathOrBuiltin, std::ios::binary);
    if (!file)
        throw SetupError("cannot open setup file " + pathOrBuiltin);
    std::ostringstream text;
    text << file.rdbuf();
    return parseSetup(text.str(), pathOrBuiltin);
}

} // namespace ktsim
