// SPDX-License-Identifier: MIT
// Text-to-number conversions with the C library's rules, and the shortest
// round-trip text of a double.

#include "api/NumberText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace ktremote {
namespace {

TEST(NumberText, ReadsIntegersLikeStrtol)
{
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"42", 42},
        {"  \t\n-17", -17},
        {"+8", 8},
        {"12abc", 12},
        {"3.9", 3},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int32_t>::min()},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {"- 1", std::nullopt},
        {"Async", std::nullopt},
        {"0x10", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseInt32(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberText, ReportsWhereAnIntegerEnds)
{
    const struct {
        const char* text;
        size_t used;
    } cases[] = {{"42", 2}, {" \t-17,3", 5}, {"+8 9", 2}, {"007x", 3}, {"99999999999999999999 1", 99}, {",1", 99}};
    for (const auto& c : cases) {
        size_t used = 99; // left alone when there is no value
        parseInt32(c.text, &used);
        EXPECT_EQ(used, c.used) << '"' << c.text << '"';
    }
}

TEST(NumberText, ReadsFloatingPointLikeStrtodWithAPointWhateverTheLocale)
{
    const struct {
        const char* text;
        std::optional<double> value;
    } cases[] = {
        {"1.5", 1.5},
        {" \t-2.25xyz", -2.25},
        {"+.5", 0.5},
        {"1e3", 1000.0},
        {"1e", 1.0},
        {"1,5", 1.0},
        {"0x1.8p1", 3.0},
        {"0xep+-40", 14.0},
        {"0x1p-+2", 1.0},
        {"0x1p+", 1.0},
        {"0x", 0.0},
        {"-0", -0.0},
        {"1e400", std::nullopt},
        {"1e-400", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
        {"e5", std::nullopt},
        {"--1", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseDouble(c.text), c.value) << '"' << c.text << '"';

    EXPECT_TRUE(std::isinf(*parseDouble("-Infinity")));
    EXPECT_TRUE(std::isnan(*parseDouble("nan(1)")));
}

TEST(NumberText, ReadsSinglePrecisionWithItsOwnRange)
{
    EXPECT_EQ(parseFloat("0.1"), 0.1f);
    EXPECT_EQ(parseFloat("3.4e38"), 3.4e38f);
    EXPECT_EQ(parseFloat("1e39"), std::nullopt);
    EXPECT_EQ(parseFloat("1e-50"), std::nullopt);
    EXPECT_EQ(parseDouble("1e39"), 1e39);
}

TEST(NumberText, FormatsTheShortestTextThatReadsBack)
{
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1.0, "1"},   {0.5, "0.5"},         {1e20, "1e+20"}, {2.5, "2.5"}, {-0.25, "-0.25"},
        {0.1, "0.1"}, {123456.0, "123456"}, {1e-7, "1e-07"}, {0.0, "0"},   {1.0 / 3.0, "0.3333333333333333"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatShortest(c.value), c.text);
    for (double value : {0.1, 1.0 / 3.0, 6.02214076e23, -1.7976931348623157e308, 4.9e-324})
        EXPECT_EQ(parseDouble(formatShortest(value)), value);
}

} // namespace
} // namespace ktremote
