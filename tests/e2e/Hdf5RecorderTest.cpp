// SPDX-License-Identifier: MIT
// The HDF5 recorder of ktcli: files written through it and read back with
// h5py, also after the writer was killed.

#include "Hdf5Recorder.h"
#include "KtremoteVersion.h"
#include "Process.h"
#include "RecordingText.h"
#include "Recordings.h"
#include "ktremote.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <thread>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using ktcli::Hdf5Recorder;
using ktcli::RecordedChannel;
using ktcli::RecordingInfo;
using namespace ktremote::e2e;

namespace {

// Equal bit for bit (NaN included); on a difference, says where.
::testing::AssertionResult sameBits(const std::vector<double>& actual, const std::vector<double>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << actual.size() << " values instead of " << expected.size();
    for (size_t i = 0; i < actual.size(); ++i)
        if (std::memcmp(&actual[i], &expected[i], sizeof(double)) != 0)
            return ::testing::AssertionFailure()
                << "value " << i << " is " << actual[i] << " instead of " << expected[i];
    return ::testing::AssertionSuccess();
}

std::vector<double> sequence(size_t count, double scale, double offset = 0.0)
{
    std::vector<double> values(count);
    for (size_t i = 0; i < count; ++i)
        values[i] = offset + static_cast<double>(i) * scale;
    return values;
}

void appendInPieces(Hdf5Recorder& recorder, size_t channel, const std::vector<double>& values,
                    const std::vector<double>& times, const std::vector<size_t>& pieces)
{
    size_t done = 0;
    for (size_t piece : pieces) {
        recorder.append(channel, values.data() + done, times.data() + done, piece);
        done += piece;
    }
    recorder.append(channel, values.data() + done, times.data() + done, values.size() - done);
}

const ReadDataset& dataset(const ReadGroup& group, const std::string& name)
{
    static const ReadDataset missing;
    const auto it = group.datasets.find(name);
    return it == group.datasets.end() ? missing : it->second;
}

// Runs body, which ends by raising SIGKILL while its recorder is open, in a
// forked child; true when the child did end so.
template <typename Body>
bool killedChild(Body body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            body();
        } catch (...) {
        }
        ::_exit(3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(RecordingText, GroupNamesAreUniqueAndHoldNoPathSeparator)
{
    std::set<std::string> used;
    EXPECT_EQ(ktcli::uniqueGroupName("Voltage", 0, used), "Voltage");
    EXPECT_EQ(ktcli::uniqueGroupName("a/b", 0, used), "a%2Fb");
    EXPECT_EQ(ktcli::uniqueGroupName("100%/s", 0, used), "100%25%2Fs");
    EXPECT_EQ(ktcli::uniqueGroupName(".", 0, used), "%2E");
    // Dots inside a name are ordinary characters in HDF5 link names.
    EXPECT_EQ(ktcli::uniqueGroupName("Temp.1", 0, used), "Temp.1");
    EXPECT_EQ(ktcli::uniqueGroupName("..", 0, used), "..");
    EXPECT_EQ(ktcli::uniqueGroupName("", 4, used), "%#5");

    used = {"Voltage", "a%2Fb"};
    EXPECT_EQ(ktcli::uniqueGroupName("Voltage", 2, used), "Voltage%#3");
    EXPECT_EQ(ktcli::uniqueGroupName("a/b", 0, used), "a%2Fb%#1");
    // A name that looks like an escaped one cannot take a repeated name's place.
    EXPECT_EQ(ktcli::uniqueGroupName("Voltage%#3", 9, used), "Voltage%25#3");
}

TEST(RecordingText, IsoTimeFromDays)
{
    EXPECT_EQ(ktcli::isoTimeFromDays(0.0), "1899-12-30T00:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(25569.0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(25569.5 + 1.0 / 86400000.0), "1970-01-01T12:00:00.001Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(-1.25), "1899-12-28T18:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(60.0), "1900-02-28T00:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(36585.0), "2000-02-29T00:00:00.000Z");
    // 2026-12-09 23:59:59.9996 rounds into the next day.
    EXPECT_EQ(ktcli::isoTimeFromDays(46365.0 - 0.0004 / 86400.0), "2026-12-09T00:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(46366.0 - 0.0004 / 86400.0), "2026-12-10T00:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(-693593.0), "0001-01-01T00:00:00.000Z");
    EXPECT_EQ(ktcli::isoTimeFromDays(-693594.0), "");
    EXPECT_EQ(ktcli::isoTimeFromDays(2958466.0), "");
    EXPECT_EQ(ktcli::isoTimeFromDays(std::numeric_limits<double>::quiet_NaN()), "");
    EXPECT_EQ(ktcli::isoTimeFromDays(std::numeric_limits<double>::infinity()), "");
}

TEST(Hdf5Recorder, AvailableExactlyWhenBuiltWithHdf5)
{
    EXPECT_EQ(Hdf5Recorder::available(), KTCLI_HAVE_HDF5 != 0);
    if (Hdf5Recorder::available())
        return;
    TempDir dir;
    try {
        Hdf5Recorder recorder(dir.file("run.h5"), {}, {});
        FAIL() << "a recorder without HDF5 was made";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ktcli was built without HDF5 support");
    }
}

TEST(Hdf5Recorder, ReadsBackEveryValueTimeAndAttribute)
{
    if (!Hdf5Recorder::available())
        GTEST_SKIP() << "built without HDF5";
    TempDir dir;
    const std::string path = dir.file("run.h5");
    std::ofstream(path) << "an older file that is not HDF5";

    const std::vector<RecordedChannel> channels = {
        {"Voltage", "1", "V", KX_CHANNEL_SYNC, 1000.0},
        {"a/b%c", "7", "", KX_CHANNEL_ASYNC, 0.5},
        {".", "x", "°C", KX_CHANNEL_SINGLE_VALUE, 0.0},
        {"Voltage", "9", "mV", KX_CHANNEL_SYNC, 20000.0},
    };
    RecordingInfo info;
    info.libraryVersion = ktremote::versionText;
    info.commandLine = "ktcli stream --output 'x y.h5' \"\xC3\xA4\"\tend\nnext \\";

    // Channel 0 crosses chunk and batch sizes in uneven pieces and holds the
    // values a decoder can produce beside ordinary ones.
    std::vector<double> values0 = sequence(300001, 0.001, -5.0);
    values0[3] = std::numeric_limits<double>::quiet_NaN();
    values0[4] = std::numeric_limits<double>::infinity();
    values0[5] = -std::numeric_limits<double>::infinity();
    values0[6] = -0.0;
    values0[7] = std::numeric_limits<double>::denorm_min();
    values0[8] = DBL_MAX;
    const std::vector<double> times0 = sequence(values0.size(), 1e-3);
    const std::vector<double> values1 = {1.5, -2.25, 3e300};
    const std::vector<double> times1 = {0.125, 7.5, 1e6};
    const std::vector<double> values3 = sequence(10, 2.0);
    const std::vector<double> times3 = sequence(10, 5e-5, 100.0);
    {
        Hdf5Recorder recorder(path, channels, info);
        recorder.setStartTime(45000.25);
        appendInPieces(recorder, 0, values0, times0, {1, 7, 0, 8184, 8193, 150000});
        recorder.flush();
        recorder.append(1, values1.data(), times1.data(), values1.size());
        recorder.setStartTime(46365.5); // replaces the first one
        appendInPieces(recorder, 3, values3, times3, {3});
        EXPECT_THROW(recorder.append(4, values3.data(), times3.data(), 1), std::out_of_range);
    }

    const ReadRecording file = readRecording(path, dir.path());
    ASSERT_EQ(file.error, "");
    EXPECT_EQ(file.attributes.at("library_version").text, ktremote::versionText);
    EXPECT_EQ(file.attributes.at("command_line").text, info.commandLine);
    EXPECT_EQ(file.attributes.at("start_time").number(), 46365.5);
    EXPECT_EQ(file.attributes.at("start_time_utc").text, "2026-12-09T12:00:00.000Z");

    ASSERT_EQ(file.groups.size(), 4u);
    const ReadGroup* voltage = file.channel("Voltage");
    ASSERT_NE(voltage, nullptr);
    EXPECT_EQ(voltage->name, "Voltage");
    const ReadGroup* ab = file.channel("a/b%c");
    ASSERT_NE(ab, nullptr);
    EXPECT_EQ(ab->name, "a%2Fb%25c");
    const ReadGroup* dot = file.channel(".");
    ASSERT_NE(dot, nullptr);
    EXPECT_EQ(dot->name, "%2E");
    const ReadGroup* second = nullptr;
    for (const ReadGroup& group : file.groups)
        if (group.text("id") == "9")
            second = &group;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->name, "Voltage%#4");

    const std::vector<std::pair<const ReadGroup*, size_t>> groups = {{voltage, 0}, {ab, 1}, {dot, 2}, {second, 3}};
    const char* typeNames[] = {"async", "sync", "single"};
    for (const auto& [group, index] : groups) {
        SCOPED_TRACE(group->name);
        const RecordedChannel& c = channels[index];
        EXPECT_EQ(group->text("id"), c.id);
        EXPECT_EQ(group->text("unit"), c.unit);
        EXPECT_EQ(group->text("type"), typeNames[c.type]);
        EXPECT_EQ(group->attributes.at("type_code").number(), c.type);
        EXPECT_EQ(group->attributes.at("sample_rate").number(), c.sampleRate);
        for (const char* name : {"values", "time"}) {
            const ReadDataset& d = dataset(*group, name);
            EXPECT_EQ(d.dtype, "<f8") << name;
            EXPECT_EQ(d.maxshape, "unlimited") << name;
            EXPECT_NE(d.chunks, "none") << name;
            EXPECT_EQ(d.compression, "None") << name;
        }
    }
    EXPECT_TRUE(sameBits(dataset(*voltage, "values").data, values0));
    EXPECT_TRUE(sameBits(dataset(*voltage, "time").data, times0));
    EXPECT_TRUE(sameBits(dataset(*ab, "values").data, values1));
    EXPECT_TRUE(sameBits(dataset(*ab, "time").data, times1));
    EXPECT_TRUE(sameBits(dataset(*dot, "values").data, {}));
    EXPECT_TRUE(sameBits(dataset(*dot, "time").data, {}));
    EXPECT_TRUE(sameBits(dataset(*second, "values").data, values3));
    EXPECT_TRUE(sameBits(dataset(*second, "time").data, times3));
}

TEST(Hdf5Recorder, CompressesWithGzipLevel4)
{
    if (!Hdf5Recorder::available())
        GTEST_SKIP() << "built without HDF5";
    TempDir dir;
    const std::string path = dir.file("run.h5");
    const std::vector<double> values = sequence(100000, 0.25);
    const std::vector<double> times = sequence(values.size(), 1e-4);
    RecordingInfo info;
    info.compress = true;
    {
        Hdf5Recorder recorder(path, {{"Current", "2", "A", KX_CHANNEL_SYNC, 10000.0}}, info);
        recorder.append(0, values.data(), times.data(), values.size());
    }
    const ReadRecording file = readRecording(path, dir.path());
    ASSERT_EQ(file.error, "");
    ASSERT_EQ(file.groups.size(), 1u);
    for (const char* name : {"values", "time"}) {
        const ReadDataset& d = dataset(file.groups[0], name);
        EXPECT_EQ(d.compression, "gzip") << name;
        EXPECT_EQ(d.level, "4") << name;
    }
    EXPECT_TRUE(sameBits(dataset(file.groups[0], "values").data, values));
    EXPECT_TRUE(sameBits(dataset(file.groups[0], "time").data, times));
    EXPECT_LT(readFile(path).size(), values.size() * 2 * sizeof(double) / 2);
}

TEST(Hdf5Recorder, FailuresAreSentencesAndPrintNothing)
{
    if (!Hdf5Recorder::available())
        GTEST_SKIP() << "built without HDF5";
    TempDir dir;
    const std::string path = dir.file("missing/run.h5");
    ::testing::internal::CaptureStderr();
    try {
        Hdf5Recorder recorder(path, {{"Voltage", "1", "V", KX_CHANNEL_SYNC, 1.0}}, {});
        ADD_FAILURE() << "a file in a missing directory was made";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot create the HDF5 file " + path + ": No such file or directory");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Hdf5Recorder, KilledWriterLeavesTheFileOfItsLastFlush)
{
    if (!Hdf5Recorder::available())
        GTEST_SKIP() << "built without HDF5";
    TempDir dir;
    const std::vector<RecordedChannel> channels = {{"Voltage", "1", "V", KX_CHANNEL_SYNC, 1000.0},
                                                   {"Event", "2", "", KX_CHANNEL_ASYNC, 0.0}};
    const std::vector<double> values = sequence(1000000, 1.0);
    const std::vector<double> times = sequence(values.size(), 1e-3);

    // Killed after an explicit flush and some appends since.
    const std::string flushed = dir.file("flushed.h5");
    ASSERT_TRUE(killedChild([&] {
        Hdf5Recorder recorder(flushed, channels, {});
        recorder.setStartTime(46365.0);
        recorder.append(0, values.data(), times.data(), 5000);
        recorder.append(1, values.data(), times.data(), 3);
        recorder.flush();
        recorder.append(0, values.data() + 5000, times.data() + 5000, 2000);
        ::raise(SIGKILL);
    }));
    ReadRecording file = readRecording(flushed, dir.path());
    ASSERT_EQ(file.error, "");
    EXPECT_EQ(file.attributes.at("start_time_utc").text, "2026-12-09T00:00:00.000Z");
    ASSERT_NE(file.channel("Voltage"), nullptr);
    ASSERT_NE(file.channel("Event"), nullptr);
    const std::vector<double> first(values.begin(), values.begin() + 5000);
    EXPECT_TRUE(sameBits(dataset(*file.channel("Voltage"), "values").data, first));
    EXPECT_TRUE(sameBits(dataset(*file.channel("Event"), "time").data, {0.0, 1e-3, 2e-3}));

    // Killed while appending for 2.5 s without ever calling flush(): what
    // the once-a-second flushes wrote is there, a whole prefix of blocks.
    const std::string paced = dir.file("paced.h5");
    constexpr size_t block = 1000;
    ASSERT_TRUE(killedChild([&] {
        Hdf5Recorder recorder(paced, channels, {});
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
        for (size_t done = 0; std::chrono::steady_clock::now() < end && done + block <= values.size(); done += block) {
            recorder.append(0, values.data() + done, times.data() + done, block);
            recorder.append(1, values.data() + done, times.data() + done, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // paces the writer only
        }
        ::raise(SIGKILL);
    }));
    file = readRecording(paced, dir.path());
    ASSERT_EQ(file.error, "");
    ASSERT_NE(file.channel("Voltage"), nullptr);
    ASSERT_NE(file.channel("Event"), nullptr);
    const std::vector<double>& got = dataset(*file.channel("Voltage"), "values").data;
    ASSERT_GE(got.size(), block);
    EXPECT_EQ(got.size() % block, 0u);
    EXPECT_TRUE(sameBits(got, std::vector<double>(values.begin(), values.begin() + got.size())));
    EXPECT_TRUE(sameBits(dataset(*file.channel("Voltage"), "time").data,
                         std::vector<double>(times.begin(), times.begin() + got.size())));
    // The flush may come in the append of either channel.
    const std::vector<double>& events = dataset(*file.channel("Event"), "values").data;
    EXPECT_GE(events.size() + 1, got.size() / block);
    EXPECT_LE(events.size(), got.size() / block);
    EXPECT_TRUE(sameBits(events, sequence(events.size(), block)));
}

} // namespace

namespace {

TEST(Hdf5Recorder, SegmentsAndTheirFirstSamplesReadBack)
{
    if (!Hdf5Recorder::available())
        GTEST_SKIP() << "built without HDF5";
    TempDir dir;
    const std::string path = dir.file("segments.h5");
    const std::vector<RecordedChannel> channels = {{"Voltage", "1", "V", KX_CHANNEL_SYNC, 1000.0},
                                                   {"Event", "2", "", KX_CHANNEL_ASYNC, 0.0}};
    const std::vector<double> values = sequence(10, 1.0);
    const std::vector<double> times = sequence(10, 0.5);
    {
        Hdf5Recorder recorder(path, channels, {});
        recorder.setStartTime(46365.0);
        recorder.beginSegment(0.0);
        recorder.append(0, values.data(), times.data(), 3);
        recorder.append(1, values.data(), times.data(), 1);
        recorder.endSegment("the application closed the connection");
        recorder.flush();
        EXPECT_EQ(recorder.heldSamples(), 4u);
        EXPECT_EQ(recorder.heldUntil(), 1.0);
        // The second segment starts 10 s in; it is not ended: a writer that
        // stops here leaves it "running".
        recorder.beginSegment(10.0);
        const std::vector<double> later = {10.0, 10.5};
        recorder.append(0, values.data() + 3, later.data(), 2);
        recorder.append(1, values.data(), times.data(), 0);
    }
    const ReadRecording file = readRecording(path, dir.path());
    ASSERT_EQ(file.error, "");
    ASSERT_EQ(file.segments.size(), 2u);
    EXPECT_EQ(file.segments[0].start, 0.0);
    EXPECT_EQ(file.segments[0].end, 1.0);
    EXPECT_EQ(file.segments[0].reason, "the application closed the connection");
    EXPECT_EQ(file.segments[1].start, 10.0);
    EXPECT_EQ(file.segments[1].end, 10.5);
    EXPECT_EQ(file.segments[1].reason, "running");
    const ReadGroup* voltage = file.channel("Voltage");
    const ReadGroup* event = file.channel("Event");
    ASSERT_NE(voltage, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(voltage->datasets.at("segment_index").dtype, "<i8");
    EXPECT_EQ(voltage->datasets.at("segment_index").data, (std::vector<double>{0, 3}));
    EXPECT_EQ(event->datasets.at("segment_index").data, (std::vector<double>{0, 1}));
    EXPECT_TRUE(sameBits(voltage->datasets.at("time").data, {0.0, 0.5, 1.0, 10.0, 10.5}));
}

} // namespace
