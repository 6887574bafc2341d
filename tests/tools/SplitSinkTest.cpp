// SPDX-License-Identifier: MIT
// SplitSink routes every sample to the file whose span holds its time, once,
// and gives each file its own start, times and segments.

#include "SplitSink.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ktcli {
namespace {

// What one file's sink was given.
struct FileLog {
    double startDays = -1.0;
    std::vector<std::vector<double>> times;  // per channel
    std::vector<std::vector<double>> values; // per channel
    std::vector<std::string> events;         // "begin T", "end REASON"
    bool finished = false;
};

class LoggingSink final : public SampleSink {
public:
    explicit LoggingSink(FileLog& log) : fileLog(log) {}
    void start(double days) override { fileLog.startDays = days; }
    void beginSegment(double time) override { fileLog.events.push_back("begin " + std::to_string(time)); }
    void endSegment(const std::string& reason) override { fileLog.events.push_back("end " + reason); }
    void write(const std::vector<Samples>& round) override
    {
        EXPECT_FALSE(fileLog.finished);
        fileLog.times.resize(round.size());
        fileLog.values.resize(round.size());
        for (size_t c = 0; c < round.size(); ++c)
            for (size_t k = 0; k < round[c].count; ++k) {
                fileLog.times[c].push_back(round[c].times[k]);
                fileLog.values[c].push_back(round[c].values[k]);
            }
    }
    void finish() override { fileLog.finished = true; }
    std::string description() const override { return ""; }

private:
    FileLog& fileLog;
};

class SplitSinkTest : public ::testing::Test {
protected:
    std::map<std::string, FileLog> files;
    SplitSink sink{"/data/run.h5", 2.0, [this](const std::string& path) {
                       EXPECT_EQ(files.count(path), 0u) << path << " made twice";
                       return std::make_unique<LoggingSink>(files[path]);
                   }};

    // Writes a round: channel c gets the samples with these times, each
    // value being its time.
    void round(const std::vector<std::vector<double>>& times)
    {
        std::vector<Samples> samples;
        for (const std::vector<double>& channel : times)
            samples.push_back({channel.data(), channel.data(), channel.size()});
        sink.write(samples);
    }
};

TEST(SplitSinkName, NumbersGoBeforeTheExtension)
{
    EXPECT_EQ(SplitSink::partPath("run.h5", 1), "run-0001.h5");
    EXPECT_EQ(SplitSink::partPath("/a.b/run", 12), "/a.b/run-0012");
    EXPECT_EQ(SplitSink::partPath("/a/.hidden", 3), "/a/.hidden-0003");
    EXPECT_EQ(SplitSink::partPath("out.data.csv", 10000), "out.data-10000.csv");
}

TEST_F(SplitSinkTest, EverySampleGoesOnceToTheFileOfItsTime)
{
    sink.start(46000.0);
    sink.beginSegment(0.0);
    // A fast channel and one that lags behind it by up to half a second.
    round({{0.0, 0.5, 1.0, 1.5, 1.999}, {0.0}});
    round({{2.0, 2.5, 2.9}, {0.9, 1.8, 2.0}});
    EXPECT_FALSE(files["/data/run-0001.h5"].finished) << "closed within a second of its end";
    round({{3.5, 4.0, 4.5}, {2.7, 3.6}});
    EXPECT_TRUE(files["/data/run-0001.h5"].finished);
    sink.endSegment("duration");
    sink.finish();

    ASSERT_EQ(files.size(), 3u);
    const FileLog& first = files["/data/run-0001.h5"];
    const FileLog& second = files["/data/run-0002.h5"];
    const FileLog& third = files["/data/run-0003.h5"];
    EXPECT_EQ(first.startDays, 46000.0);
    // A days value near 46000 resolves about a microsecond.
    EXPECT_NEAR((second.startDays - 46000.0) * 86400.0, 2.0, 1e-6);
    EXPECT_NEAR((third.startDays - 46000.0) * 86400.0, 4.0, 1e-6);
    EXPECT_EQ(first.times[0], (std::vector<double>{0.0, 0.5, 1.0, 1.5, 1.999}));
    EXPECT_EQ(first.times[1], (std::vector<double>{0.0, 0.9, 1.8}));
    // Times count from each file's own start; the values show the samples.
    EXPECT_EQ(second.times[0], (std::vector<double>{0.0, 0.5, 2.9 - 2.0, 1.5}));
    EXPECT_EQ(second.values[0], (std::vector<double>{2.0, 2.5, 2.9, 3.5}));
    EXPECT_EQ(second.values[1], (std::vector<double>{2.0, 2.7, 3.6}));
    EXPECT_EQ(third.values[0], (std::vector<double>{4.0, 4.5}));
    EXPECT_TRUE(third.values[1].empty());
    EXPECT_EQ(first.events, (std::vector<std::string>{"begin 0.000000", "end continued in the next file"}));
    EXPECT_EQ(second.events, (std::vector<std::string>{"begin 0.000000", "end continued in the next file"}));
    EXPECT_EQ(third.events, (std::vector<std::string>{"begin 0.000000", "end duration"}));
    for (const auto& [path, log] : files)
        EXPECT_TRUE(log.finished) << path;
}

TEST_F(SplitSinkTest, AGapLongerThanASpanSkipsItsFiles)
{
    sink.start(46000.0);
    sink.beginSegment(0.0);
    round({{0.0, 1.0}});
    sink.endSegment("the application closed the connection");
    // The next measurement starts 5.5 s in: spans 2 and 3 hold nothing.
    sink.beginSegment(5.5);
    round({{5.5, 6.5}});
    sink.endSegment("signal");
    sink.finish();

    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files["/data/run-0001.h5"].events,
              (std::vector<std::string>{"begin 0.000000", "end the application closed the connection"}));
    EXPECT_EQ(files["/data/run-0003.h5"].events,
              (std::vector<std::string>{"begin 1.500000", "end continued in the next file"}));
    EXPECT_EQ(files["/data/run-0003.h5"].values[0], (std::vector<double>{5.5}));
    EXPECT_EQ(files["/data/run-0004.h5"].events, (std::vector<std::string>{"begin 0.000000", "end signal"}));
    EXPECT_EQ(files["/data/run-0004.h5"].times[0], (std::vector<double>{0.5}));
    EXPECT_EQ(sink.description(), "3 files: /data/run-0001.h5 to /data/run-0004.h5");
}

} // namespace
} // namespace ktcli
