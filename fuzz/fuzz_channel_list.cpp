// SPDX-License-Identifier: MIT
// The used-channel list reply.
//
// Any reply either gives a list or fails with a Failure, never anything
// else. Checked on the result:
//  * line and field cutting lose and invent nothing;
//  * a reply with bare LF, or with CR LF, line ends reads the same;
//  * every record kept has an id "0,..." without ';', a data type the stream
//    can carry, the sample size of its data type, at most one kind, and no
//    rate where its kind has none;
//  * a kept record written back as a list line, the way the application
//    writes it, reads back as the same record.

#include "FuzzInput.h"

#include "api/Failure.h"
#include "net/ChannelList.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace ktremote;

namespace {

struct Outcome {
    std::vector<ChannelRecord> records;
    bool failed = false;
};

Outcome parse(std::string_view reply)
{
    Outcome outcome;
    try {
        ParseChannelList(reply, outcome.records);
    } catch (const Failure&) {
        outcome.failed = true;
    }
    return outcome;
}

bool sameNumber(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool sameRecord(const ChannelRecord& a, const ChannelRecord& b)
{
    return a.listField0 == b.listField0 && a.id == b.id && a.listIndex == b.listIndex &&
        a.listField3IsZero == b.listField3IsZero && a.listField4 == b.listField4 && a.listField5 == b.listField5 &&
        a.name == b.name && a.listField7 == b.listField7 && a.unit == b.unit && a.isControl == b.isControl &&
        a.isAsync == b.isAsync && a.isSingleValue == b.isSingleValue && a.sampleRateDivider == b.sampleRateDivider &&
        sameNumber(a.sampleRate, b.sampleRate) && sameNumber(a.expectedAsyncRate, b.expectedAsyncRate) &&
        a.listField12 == b.listField12 && a.dataType == b.dataType && a.sampleSize == b.sampleSize &&
        a.listField14 == b.listField14 && a.listField15 == b.listField15 && sameNumber(a.scale2, b.scale2) &&
        a.transferred == b.transferred && a.owner == b.owner && sameNumber(a.offset2, b.offset2) &&
        sameNumber(a.scale1, b.scale1) && sameNumber(a.offset1, b.offset1);
}

bool sameOutcome(const Outcome& a, const Outcome& b)
{
    if (a.failed != b.failed || a.records.size() != b.records.size())
        return false;
    for (size_t i = 0; i < a.records.size(); ++i) {
        if (!sameRecord(a.records[i], b.records[i]))
            return false;
    }
    return true;
}

std::string shortest(double value)
{
    char buffer[64];
    return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// The record as one list line, as the application would write it.
std::string lineOf(const ChannelRecord& r)
{
    std::string path = r.id.substr(2); // ';' and ',' read alike
    std::string kind = r.isAsync ? "Async" : r.isSingleValue ? "SingleValue" : std::to_string(r.sampleRateDivider);
    std::string rate = r.isAsync ? shortest(r.expectedAsyncRate) : r.isSingleValue ? "0" : shortest(r.sampleRate);
    const std::string fields[] = {r.listField0,
                                  path,
                                  r.listIndex,
                                  r.listField3IsZero ? "0" : "1",
                                  r.listField4,
                                  r.listField5,
                                  r.name,
                                  r.listField7,
                                  r.unit,
                                  r.isControl ? "-1" : "0",
                                  kind,
                                  rate,
                                  std::to_string(r.listField12),
                                  std::to_string(r.dataType),
                                  std::to_string(r.listField14),
                                  std::to_string(r.listField15),
                                  shortest(r.scale2),
                                  shortest(r.offset2),
                                  shortest(r.scale1),
                                  shortest(r.offset1)};
    std::string line;
    for (const std::string& field : fields)
        line += field + '\t';
    line.pop_back();
    return line;
}

void checkCutting(std::string_view reply)
{
    std::string withoutBreaks;
    for (char c : reply) {
        if (c != '\r' && c != '\n')
            withoutBreaks += c;
    }
    std::string joined;
    for (std::string_view line : splitListLines(reply)) {
        FUZZ_CHECK(!line.empty());
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
        joined.append(line);

        std::string fields;
        for (std::string_view field : splitListFields(line)) {
            FUZZ_CHECK(field.find('\t') == std::string_view::npos);
            fields.append(field).append("\t");
        }
        // Joined with tabs, the fields give the line back; a tab at its end
        // is the only one that adds no field.
        if (line.back() != '\t')
            fields.pop_back();
        FUZZ_CHECK(fields == line);
    }
    FUZZ_CHECK(joined == withoutBreaks);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);
    checkCutting(reply);
    const Outcome outcome = parse(reply);

    // CR LF, bare LF and bare CR line ends all read alike.
    std::string lf;
    for (size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n')
            continue;
        lf += reply[i];
    }
    FUZZ_CHECK(sameOutcome(outcome, parse(lf)));
    std::string crlf;
    for (char c : lf) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    FUZZ_CHECK(sameOutcome(outcome, parse(crlf)));

    size_t lines = splitListLines(reply).size();
    FUZZ_CHECK(outcome.records.size() + 2 <= std::max<size_t>(lines, 2));
    std::string rewritten = "+STX used channels\r\n";
    for (const ChannelRecord& r : outcome.records) {
        FUZZ_CHECK(r.id.compare(0, 2, "0,") == 0);
        FUZZ_CHECK(r.id.find(';') == std::string::npos);
        FUZZ_CHECK(isListedDataType(r.dataType));
        FUZZ_CHECK(r.sampleSize == sampleSizeOf(r.dataType));
        FUZZ_CHECK(!(r.isAsync && r.isSingleValue));
        if (r.isAsync || r.isSingleValue)
            FUZZ_CHECK(r.sampleRate == -1.0);
        if (!r.isAsync)
            FUZZ_CHECK(r.expectedAsyncRate == 0.0);
        FUZZ_CHECK(!r.transferred && r.owner == nullptr);
        rewritten += lineOf(r) + "\r\n";
    }
    rewritten += std::string(channelListEnd) + "\r\n";
    const Outcome again = parse(rewritten);
    FUZZ_CHECK(!again.failed);
    FUZZ_CHECK(again.records.size() == outcome.records.size());
    for (size_t i = 0; i < again.records.size(); ++i)
        FUZZ_CHECK(sameRecord(again.records[i], outcome.records[i]));
    return 0;
}
