// SPDX-License-Identifier: MIT
// Reading the application's used-channel list into channel records.

#include "ChannelLines.h"

#include "api/Failure.h"
#include "net/ChannelList.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ktremote {
namespace {

using test::Line;

std::vector<std::string> idsOf(const std::vector<ChannelRecord>& records)
{
    std::vector<std::string> ids;
    for (const auto& record : records)
        ids.push_back(record.id);
    return ids;
}

TEST(ChannelList, CutsTheReplyIntoLinesAndSkipsHeaderAndLastLine)
{
    const std::string a = Line().set(1, "a").text();
    const std::string b = Line().set(1, "b").text();
    const struct {
        const char* name;
        std::string reply;
        std::vector<std::string> ids;
    } cases[] = {
        {"CR LF", "head\r\n" + a + "\r\n" + b + "\r\n+ETX end list\r\n", {"0,a", "0,b"}},
        {"bare LF and CR", "head\n" + a + "\r" + b + "\n+ETX end list", {"0,a", "0,b"}},
        {"blank lines", "\r\n\r\nhead\r\n\r\n" + a + "\n\n\n" + b + "\r\n\r\n+ETX end list\r\n\r\n", {"0,a", "0,b"}},
        {"header and end only", "head\r\n+ETX end list\r\n", {}},
        {"two lines", a + "\r\n" + b + "\r\n", {}},
        {"one line", a, {}},
        {"empty", "", {}},
        {"last line ignored whatever it says", "head\r\n" + a + "\r\n" + b, {"0,a"}},
        {"header ignored whatever it says", a + "\r\n" + b + "\r\nend", {"0,b"}},
    };
    for (const auto& c : cases) {
        std::vector<ChannelRecord> records(3); // emptied first
        ParseChannelList(c.reply, records);
        EXPECT_EQ(idsOf(records), c.ids) << c.name;
    }
}

TEST(ChannelList, CutsALineIntoFieldsAtEveryTab)
{
    using Fields = std::vector<std::string_view>;
    const struct {
        const char* line;
        Fields fields;
    } cases[] = {
        {"a\tb", {"a", "b"}}, {"a\t\tb", {"a", "", "b"}}, {"\ta", {"", "a"}}, {"a\t", {"a"}}, {"a\t\t", {"a", ""}},
        {"\t", {""}},         {"a b", {"a b"}},           {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitListFields(c.line), c.fields) << '"' << c.line << '"';
}

TEST(ChannelList, ReadsEachFieldIntoItsMember)
{
    using Check = std::function<void(const ChannelRecord&)>;
    const struct {
        const char* name;
        Line line;
        Check check;
    } cases[] = {
        {"texts", Line().set(0, "zero").set(4, "four").set(5, "five").set(6, "Drehzahl \xC3\xA4").set(7, "seven"),
         [](const ChannelRecord& r) {
             EXPECT_EQ(r.listField0, "zero");
             EXPECT_EQ(r.listField4, "four");
             EXPECT_EQ(r.listField5, "five");
             EXPECT_EQ(r.name, "Drehzahl \xC3\xA4");
             EXPECT_EQ(r.listField7, "seven");
             EXPECT_EQ(r.unit, "km/h");
             EXPECT_EQ(r.listIndex, "7");
             EXPECT_FALSE(r.transferred);
             EXPECT_EQ(r.owner, nullptr);
         }},
        {"id with semicolons", Line().set(1, "3;1;2"), [](const ChannelRecord& r) { EXPECT_EQ(r.id, "0,3,1,2"); }},
        {"empty id field", Line().set(1, ""), [](const ChannelRecord& r) { EXPECT_EQ(r.id, "0,"); }},
        {"field 3 exactly 0", Line().set(3, "0"), [](const ChannelRecord& r) { EXPECT_TRUE(r.listField3IsZero); }},
        {"field 3 not exactly 0", Line().set(3, "00"),
         [](const ChannelRecord& r) { EXPECT_FALSE(r.listField3IsZero); }},
        {"control", Line().set(9, "-1"), [](const ChannelRecord& r) { EXPECT_TRUE(r.isControl); }},
        {"not control", Line().set(9, "-1 "), [](const ChannelRecord& r) { EXPECT_FALSE(r.isControl); }},
        {"synchronous", Line().set(10, "4").set(11, "1000.5"),
         [](const ChannelRecord& r) {
             EXPECT_FALSE(r.isAsync);
             EXPECT_FALSE(r.isSingleValue);
             EXPECT_EQ(r.sampleRateDivider, 4);
             EXPECT_EQ(r.sampleRate, 1000.5);
             EXPECT_EQ(r.expectedAsyncRate, 0.0);
         }},
        {"divider with trailing text", Line().set(10, " 8x"),
         [](const ChannelRecord& r) { EXPECT_EQ(r.sampleRateDivider, 8); }},
        {"asynchronous", Line().set(10, "Async").set(11, "25"),
         [](const ChannelRecord& r) {
             EXPECT_TRUE(r.isAsync);
             EXPECT_EQ(r.expectedAsyncRate, 25.0);
             EXPECT_EQ(r.sampleRate, -1.0);
             EXPECT_EQ(r.sampleRateDivider, 0);
         }},
        {"single value: rate field not read", Line().set(10, "SingleValue").set(11, "none"),
         [](const ChannelRecord& r) {
             EXPECT_TRUE(r.isSingleValue);
             EXPECT_EQ(r.sampleRate, -1.0);
         }},
        {"rate is single precision", Line().set(11, "0.1"),
         [](const ChannelRecord& r) { EXPECT_EQ(r.sampleRate, static_cast<double>(0.1f)); }},
        {"a comma ends the rate", Line().set(11, "100,5"),
         [](const ChannelRecord& r) { EXPECT_EQ(r.sampleRate, 100.0); }},
        {"integer fields", Line().set(12, "-12").set(14, "+14").set(15, " 15"),
         [](const ChannelRecord& r) {
             EXPECT_EQ(r.listField12, -12);
             EXPECT_EQ(r.listField14, 14);
             EXPECT_EQ(r.listField15, 15);
         }},
        {"conversion factors", Line().set(16, "0.1").set(17, "-2").set(18, "0.1").set(19, "1e-3"),
         [](const ChannelRecord& r) {
             EXPECT_EQ(r.scale2, static_cast<double>(0.1f));
             EXPECT_EQ(r.offset2, -2.0);
             EXPECT_EQ(r.scale1, 0.1);
             EXPECT_EQ(r.offset1, 1e-3);
         }},
        {"decimal comma in the factors", Line().set(16, "0,5").set(17, "1,25").set(18, "2,5").set(19, "-0,125"),
         [](const ChannelRecord& r) {
             EXPECT_EQ(r.scale2, 0.5);
             EXPECT_EQ(r.offset2, 1.25);
             EXPECT_EQ(r.scale1, 2.5);
             EXPECT_EQ(r.offset1, -0.125);
         }},
        {"fields beyond the last are ignored", Line().set(20, "x").set(25, "y"),
         [](const ChannelRecord& r) { EXPECT_EQ(r.offset1, 3.5); }},
        {"data type 12 reads later fields one further on",
         Line()
             .set(13, "12")
             .set(14, "not read")
             .set(15, "15")
             .set(16, "16")
             .set(17, "0,25")
             .set(18, "0,5")
             .set(19, "2")
             .set(20, "3"),
         [](const ChannelRecord& r) {
             EXPECT_EQ(r.dataType, 12);
             EXPECT_EQ(r.listField14, 15);
             EXPECT_EQ(r.listField15, 16);
             EXPECT_EQ(r.scale2, 0.25);
             EXPECT_EQ(r.offset2, 0.5);
             EXPECT_EQ(r.scale1, 2.0);
             EXPECT_EQ(r.offset1, 3.0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(parseChannelLine(c.line.text()));
    }
}

TEST(ChannelList, SampleSizeAndListFilterFollowTheDataType)
{
    const struct {
        int32_t dataType;
        int32_t sampleSize;
        bool listed;
    } cases[] = {
        {-1, 4, true}, {0, 1, false}, {1, 1, false}, {2, 2, true},  {3, 2, true},   {4, 4, true},
        {5, 4, true},  {6, 8, true},  {7, 8, true},  {8, 4, false}, {12, 4, false}, {99, 4, false},
    };
    for (const auto& c : cases) {
        Line line;
        line.set(13, std::to_string(c.dataType));
        if (c.dataType == 12)
            line.set(20, "0");
        std::vector<ChannelRecord> records;
        ParseChannelList(test::listReply({line}), records);
        ASSERT_EQ(records.size(), c.listed ? 1u : 0u) << c.dataType;
        if (c.listed) {
            EXPECT_EQ(records[0].sampleSize, c.sampleSize) << c.dataType;
        }
        EXPECT_EQ(sampleSizeOf(c.dataType), c.sampleSize) << c.dataType;
        // A record's own size stands in only for codes without an encoding.
        const bool encoded = c.dataType >= 0 && c.dataType <= 7;
        EXPECT_EQ(sampleSizeOf(c.dataType, 16), encoded ? c.sampleSize : 16) << c.dataType;
    }
}

TEST(ChannelList, RejectsLinesWithoutANumberWhereOneIsNeededOrTooFewFields)
{
    const struct {
        const char* name;
        Line line;
    } cases[] = {
        {"kind in other letter case", Line().set(10, "async")},
        {"empty divider", Line().set(10, "")},
        {"rate of a synchronous channel", Line().set(11, "fast")},
        {"rate of an asynchronous channel", Line().set(10, "Async").set(11, "")},
        {"rate out of single range", Line().set(11, "1e39")},
        {"field 12", Line().set(12, "")},
        {"data type", Line().set(13, "x")},
        {"data type out of range", Line().set(13, "2147483648")},
        {"field 14", Line().set(14, "-")},
        {"field 15", Line().set(15, "abc")},
        {"scale2", Line().set(16, "")},
        {"offset2 out of single range", Line().set(17, "1e39")},
        {"scale1 out of range", Line().set(18, "1e400")},
        {"offset1", Line().set(19, ";")},
        {"19 fields", Line().resize(19)},
        {"13 fields", Line().resize(13)},
        {"data type 12 with 20 fields", Line().set(13, "12")},
        {"bad field of a line the filter drops", Line().set(13, "0").set(18, "x")},
    };
    for (const auto& c : cases)
        EXPECT_THROW(parseChannelLine(c.line.text()), Failure) << c.name;
}

TEST(ChannelList, ABadLineEndsTheListButKeepsTheRecordsBeforeIt)
{
    std::vector<ChannelRecord> records;
    const std::string text = test::listReply({Line().id("a"), Line().id("b").set(12, ""), Line().id("c")});
    EXPECT_THROW(ParseChannelList(text, records), Failure);
    EXPECT_EQ(idsOf(records), std::vector<std::string>{"0,a"});
}

TEST(ChannelList, KeepsReplyOrderAndDuplicates)
{
    std::vector<ChannelRecord> records;
    ParseChannelList(test::listReply({Line().id("2"), Line().id("1"), Line().id("2").name("")}), records);
    EXPECT_EQ(idsOf(records), (std::vector<std::string>{"0,2", "0,1", "0,2"}));
    EXPECT_EQ(records[2].name, "");
}

} // namespace
} // namespace ktremote
