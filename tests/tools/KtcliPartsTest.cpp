// SPDX-License-Identifier: MIT
// Parts of ktcli on their own: lost-sample counting, the CSV output when its
// reader goes away or the disk is full, JSON texts and the argument parser.

#include "Cli.h"
#include "CsvSink.h"
#include "Json.h"
#include "LossCounter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ktcli {
namespace {

// Times k / r for the given places k.
std::vector<double> timesAt(const std::vector<int64_t>& places, double rate)
{
    std::vector<double> times;
    for (const int64_t k : places)
        times.push_back(static_cast<double>(k) * (1.0 / rate));
    return times;
}

TEST(LossCounter, CountsEveryGapInASyncChannelsTimesAcrossReads)
{
    LossCounter counter(ktremote::ChannelType::Sync, 1000.0);
    // Samples 0-2, then 3 dropped, 4-5; a read later 6-9 dropped, 10.
    const std::vector<double> first = timesAt({0, 1, 2, 4, 5}, 1000.0);
    counter.add(first.data(), first.size(), true);
    const std::vector<double> second = timesAt({10}, 1000.0);
    counter.add(second.data(), second.size(), true);
    EXPECT_EQ(counter.counted(), 5u);
    EXPECT_EQ(counter.text(), "5");

    // Dropped before the first read: the first sample is not sample 0.
    LossCounter late(ktremote::ChannelType::Sync, 500.0);
    const std::vector<double> times = timesAt({7, 8}, 500.0);
    late.add(times.data(), times.size(), true);
    EXPECT_EQ(late.counted(), 7u);

    // The library's overrun report covers the whole measurement: a sync
    // channel without gaps lost nothing.
    LossCounter whole(ktremote::ChannelType::Sync, 1000.0);
    const std::vector<double> complete = timesAt({0, 1, 2}, 1000.0);
    whole.add(complete.data(), complete.size(), true);
    EXPECT_FALSE(whole.lost());
    EXPECT_EQ(whole.text(), "0");
}

TEST(LossCounter, UsesTheRateTheLibraryTimesWith)
{
    // 100.4 Hz is timed at 100 Hz.
    LossCounter rounded(ktremote::ChannelType::Sync, 100.4);
    const std::vector<double> times = timesAt({0, 1, 2, 3, 500}, 100.0);
    rounded.add(times.data(), times.size(), false);
    EXPECT_EQ(rounded.counted(), 496u);

    // Below 0.5 Hz the exact rate.
    LossCounter slow(ktremote::ChannelType::Sync, 0.2);
    const std::vector<double> slowTimes = {0.0, 5.0, 10.0, 20.0};
    slow.add(slowTimes.data(), slowTimes.size(), false);
    EXPECT_EQ(slow.counted(), 1u);
}

TEST(LossCounter, NoLossIsZeroAndOtherKindsOnlyKnowThatSomeWereDropped)
{
    LossCounter clean(ktremote::ChannelType::Sync, 1000.0);
    const std::vector<double> times = timesAt({0, 1, 2, 3}, 1000.0);
    clean.add(times.data(), times.size(), false);
    EXPECT_FALSE(clean.lost());
    EXPECT_EQ(clean.text(), "0");

    // Irregular times say nothing about how many were lost.
    for (const auto type : {ktremote::ChannelType::Async, ktremote::ChannelType::SingleValue}) {
        LossCounter counter(type, 20.0);
        const std::vector<double> irregular = {0.01, 3.7, 9.2};
        counter.add(irregular.data(), irregular.size(), false);
        EXPECT_FALSE(counter.lost());
        counter.add(nullptr, 0, true);
        EXPECT_TRUE(counter.lost());
        EXPECT_EQ(counter.text(), "some");
    }
}

class CsvSinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous = std::signal(SIGPIPE, SIG_IGN);
        char pattern[] = "/tmp/ktcli-parts-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        std::signal(SIGPIPE, previous);
        ::unlink((dir + "/fifo").c_str());
        ::rmdir(dir.c_str());
    }

    std::string dir;
    void (*previous)(int) = nullptr;
};

std::vector<Samples> oneRound(const std::vector<double>& values)
{
    return {{values.data(), values.data(), values.size()}};
}

TEST_F(CsvSinkTest, AReaderThatWentAwayEndsTheOutputWithoutAnError)
{
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    CsvSink sink(fifo, {"Voltage"}, {"V"});
    const std::vector<double> values(100, 1.5);
    sink.write(oneRound(values));
    EXPECT_FALSE(sink.gone());
    ::close(reader);
    sink.write(oneRound(values));
    EXPECT_TRUE(sink.gone());
    sink.write(oneRound(values));
    EXPECT_NO_THROW(sink.finish());
}

TEST_F(CsvSinkTest, AFullDiskIsAnError)
{
    CsvSink sink("/dev/full", {"Voltage"}, {"V"});
    const std::vector<double> values(100, 1.5);
    EXPECT_THROW(
        {
            sink.write(oneRound(values));
            sink.finish();
        },
        std::runtime_error);
    EXPECT_FALSE(sink.gone());
}

TEST(Json, StringsAreEscapedAndNumbersExact)
{
    EXPECT_EQ(jsonString("a\"b\\c\n\x01 \xc2\xb0"
                         "C"),
              "\"a\\\"b\\\\c\\n\\u0001 \xc2\xb0"
              "C\"");
    EXPECT_EQ(jsonNumber(0.1), "0.1");
    EXPECT_EQ(jsonNumber(1000.0), "1000");
    EXPECT_EQ(jsonNumber(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(jsonNumber(std::numeric_limits<double>::infinity()), "null");
}

TEST(Arguments, OptionsStandAnywhereAndValuesAreChecked)
{
    const CommandSpec command = {"stream", "",       "",     "", {{"format", "csv|hdf5", ""}, {"quiet", nullptr, ""}},
                                 0,        SIZE_MAX, nullptr};
    bool help = false;
    const Arguments arguments =
        parseArguments(command, {"--port", "9000", "Voltage", "--format=hdf5", "-1", "--quiet", "--", "--x"}, &help);
    EXPECT_FALSE(help);
    EXPECT_EQ(arguments.operands, (std::vector<std::string>{"Voltage", "-1", "--x"}));
    EXPECT_EQ(arguments.text("port", ""), "9000");
    EXPECT_EQ(choice(arguments, "format", {"csv", "hdf5"}), "hdf5");
    EXPECT_TRUE(arguments.has("quiet"));

    EXPECT_THROW(parseArguments(command, {"--quiet=yes"}, &help), UsageError);
    EXPECT_THROW(parseArguments(command, {"--port"}, &help), UsageError);
    EXPECT_THROW(parseArguments(command, {"--colour", "red"}, &help), UsageError);
    const Arguments wrong = parseArguments(command, {"--format", "xml"}, &help);
    EXPECT_THROW(choice(wrong, "format", {"csv", "hdf5"}), UsageError);

    EXPECT_TRUE(takesSeparateValue("--data-port"));
    EXPECT_FALSE(takesSeparateValue("--data-port=8001"));
    EXPECT_FALSE(takesSeparateValue("--version"));
}

} // namespace
} // namespace ktcli
