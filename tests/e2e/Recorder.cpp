// SPDX-License-Identifier: MIT
#include "Recorder.h"

#include "Streams.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace ktremote::e2e {

size_t occurrences(const std::string& path, const std::string& text)
{
    const std::string content = readFile(path);
    size_t count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + text.size()))
        ++count;
    return count;
}

bool waitForText(const std::string& path, const std::string& text, size_t count, std::chrono::seconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (occurrences(path, text) < count) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // paces the polling only
    }
    return true;
}

size_t expectSegmentsFollowTheModel(const ktsim::SampleModel& model, const ReadRecording& file, const std::string& name)
{
    SCOPED_TRACE(name);
    const ReadGroup* group = file.channel(name);
    EXPECT_NE(group, nullptr);
    if (group == nullptr)
        return 0;
    const std::vector<double>& values = group->datasets.at("values").data;
    const std::vector<double>& times = group->datasets.at("time").data;
    const std::vector<double>& index = group->datasets.at("segment_index").data;
    EXPECT_EQ(values.size(), times.size());
    EXPECT_EQ(index.size(), file.segments.size());
    const ktsim::Channel& channel = model.channel(name);
    size_t checked = 0;
    for (size_t s = 0; s < index.size() && s < file.segments.size(); ++s) {
        const auto first = static_cast<size_t>(index[s]);
        const size_t end = s + 1 < index.size() ? static_cast<size_t>(index[s + 1]) : values.size();
        EXPECT_LE(first, end);
        for (size_t k = first; k < end && k < values.size(); ++k) {
            const uint64_t i = k - first;
            EXPECT_EQ(values[k], expectedValue(model, channel, i, channel.wave.value))
                << "segment " << s << " sample " << i;
            const double relative =
                channel.kind == ktsim::ChannelKind::Async ? model.timestamp(channel, i) : model.hostTime(channel, i);
            const double expected = file.segments[s].start + relative;
            if (std::fabs(times[k] - expected) > 1e-6) {
                ADD_FAILURE() << "segment " << s << " sample " << i << ": time " << times[k] << " instead of "
                              << expected;
                return checked;
            }
            ++checked;
        }
        if (end > first) {
            EXPECT_LE(times[end - 1], file.segments[s].end + 1e-9) << "segment " << s;
        }
    }
    return checked;
}

Place runInOwnNamespace(const std::string& flag, std::string& reason)
{
    const std::string variable = "KTREMOTE_TEST_IN_OWN_NAMESPACE";
    if (std::getenv(variable.c_str()))
        return Place::Inside;
    std::string unshare;
    for (const char* path : {"/usr/bin/unshare", "/bin/unshare"})
        if (std::filesystem::exists(path))
            unshare = path;
    if (unshare.empty()) {
        reason = "no unshare program";
        return Place::Refused;
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    ::setenv(variable.c_str(), "1", 1);
    const RunResult result = runToEnd(unshare, {flag, std::filesystem::read_symlink("/proc/self/exe").string(), filter},
                                      std::chrono::seconds(300));
    ::unsetenv(variable.c_str());
    if (result.status != 0 && result.err.find("unshare failed") != std::string::npos) {
        reason = "the system refuses a private namespace: " + result.err;
        return Place::Refused;
    }
    std::fputs(result.out.c_str(), stdout);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out.find("[  SKIPPED ]"), std::string::npos) << result.out;
    return Place::RanThere;
}

void runOrFail(const std::string& program, const std::vector<std::string>& arguments)
{
    const RunResult result = runToEnd(program, arguments, std::chrono::seconds(30));
    ASSERT_EQ(result.status, 0) << program << ": " << result.err;
}

} // namespace ktremote::e2e
