// SPDX-License-Identifier: MIT
// The C++ wrapper driven through the real exported functions against fake
// instances: result codes become the right exceptions, every handle the
// wrapper takes is freed exactly once, and reads into caller buffers fill
// them without allocating.

#include "FakeInstance.h"
#include "KtremoteVersion.h"
#include "ktremote.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <regex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

using ktremote::test::FakeChannel;
using ktremote::test::FakeInstance;

// Counts the allocations of the test's own thread while enabled.
namespace {
thread_local bool countAllocations = false;
thread_local int allocations = 0;
} // namespace

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size)
{
    if (countAllocations)
        ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Fixture : ::testing::Test {
    FakeInstance fake;

    void SetUp() override
    {
        FakeChannel::alive = 0;
        fake.connected = true;
        fake.mode = 1;
        fake.entries = {{"0,1", "Speed"}, {"0,2", ""}, {"0,3", "Torque"}};
    }
    void TearDown() override { EXPECT_EQ(FakeChannel::alive, 0) << "a channel handle was not freed"; }

    // Wraps the fake without taking over its connection.
    ktremote::Instance wrap() { return ktremote::Instance::fromHandle(fake.handle()); }
};

// Every KX_... code of the public header, read from the header itself, so
// that a code added there without a name here fails.
std::vector<std::pair<int, std::string>> headerCodes()
{
    std::ifstream in(KTREMOTE_PUBLIC_HEADER);
    std::stringstream text;
    text << in.rdbuf();
    // The enumerators of KX_ERROR_CODE only: the header has other enums.
    const std::string whole = text.str();
    const size_t begin = whole.find("typedef enum KX_ERROR_CODE {");
    const size_t end = whole.find("} KX_ERROR_CODE;", begin);
    const std::string header = begin == std::string::npos ? "" : whole.substr(begin, end - begin);
    const std::regex entry(R"((KX_[A-Z0-9_]+)\s*=\s*(-?\d+))");
    std::vector<std::pair<int, std::string>> codes;
    for (auto it = std::sregex_iterator(header.begin(), header.end(), entry); it != std::sregex_iterator(); ++it)
        codes.emplace_back(std::stoi((*it)[2]), (*it)[1]);
    return codes;
}

// Reads take only writable arrays of doubles; handles are move-only.
using DoubleSpan = ktremote::Span<double>;
static_assert(std::is_constructible_v<DoubleSpan, std::vector<double>&>);
static_assert(std::is_constructible_v<DoubleSpan, std::array<double, 4>&>);
static_assert(std::is_constructible_v<DoubleSpan, double (&)[4]>);
static_assert(!std::is_constructible_v<DoubleSpan, std::vector<float>&>);
static_assert(!std::is_constructible_v<DoubleSpan, const std::vector<double>&>);
static_assert(!std::is_constructible_v<DoubleSpan, float (&)[4]>);
static_assert(!std::is_constructible_v<DoubleSpan, int>);
static_assert(!std::is_copy_constructible_v<ktremote::Channel> &&
              std::is_nothrow_move_constructible_v<ktremote::Channel>);
static_assert(!std::is_copy_constructible_v<ktremote::Instance> &&
              std::is_nothrow_move_constructible_v<ktremote::Instance>);
static_assert(!std::is_copy_constructible_v<ktremote::Measurement>);

} // namespace

TEST(CxxErrors, EveryHeaderCodeHasItsNameAndCategory)
{
    const auto codes = headerCodes();
    ASSERT_GE(codes.size(), 28u) << "could not read the codes from " << KTREMOTE_PUBLIC_HEADER;
    for (const auto& [value, name] : codes) {
        EXPECT_STREQ(ktremote::resultName(value), name.c_str()) << value;
        EXPECT_STRNE(ktremote::resultDescription(value), "unknown result code") << value;
        if (value >= 0)
            continue;
        const ktremote::Error error(value, "f");
        EXPECT_EQ(error.value(), value);
        EXPECT_STREQ(error.name(), name.c_str());
        EXPECT_EQ(&error.code().category(), &ktremote::category());
        EXPECT_EQ(error.code(), static_cast<ktremote::Result>(value));
        EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
    }
    EXPECT_STREQ(ktremote::resultName(-99), "KX_UNKNOWN");
}

TEST_F(Fixture, FailuresThrowTheFunctionsOwnCode)
{
    auto app = wrap();
    struct Case {
        int code;
        std::function<void()> call;
    };
    fake.loadSetupResult = KX_ERR_SETUP_NOT_LOADED;
    fake.startStoringResult = 0;
    const std::vector<Case> cases = {
        {KX_ERR_SETUP_NOT_LOADED, [&] { app.loadSetup("a.setup"); }},
        {KX_ERR_CHANNEL_NOT_CREATED, [&] { app.channel("0,99"); }},
        {KX_ERR_CHANNEL_NOT_FOUND, [&] { app.channelByName("Nope"); }},
        {KX_ERR_CHANNEL_NOT_FOUND, [&] { app.channelByName(""); }},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no exception for " << c.code;
        } catch (const ktremote::Error& e) {
            EXPECT_EQ(e.value(), c.code);
        }
    }
    fake.startStoringResult = KX_ERR_START_STORING;
    EXPECT_THROW(app.startStoring("x.dat"), ktremote::Error);
}

TEST(CxxInstance, UnconnectedInstanceReportsNotConnected)
{
    auto app = ktremote::Instance::network();
    try {
        app.channelCount();
        FAIL() << "no exception";
    } catch (const ktremote::Error& e) {
        EXPECT_EQ(e.code(), ktremote::Result::NotConnected);
        EXPECT_STREQ(e.name(), "KX_ERR_NOT_CONNECTED");
    }
    EXPECT_EQ(ktremote::version(), ktremote::versionText);
}

TEST(CxxInstance, FailedConnectThrowsAndIsNotDisconnectedLater)
{
    FakeInstance fake;
    fake.acceptConnect = false;
    {
        auto app = ktremote::Instance::fromHandle(fake.handle());
        EXPECT_THROW(app.connect("localhost 1 2"), ktremote::Error);
    }
    EXPECT_EQ(fake.disconnects, 0);
}

TEST(CxxInstance, ConnectedInstanceDisconnectsExactlyOnce)
{
    FakeInstance fake;
    {
        auto app = ktremote::Instance::fromHandle(fake.handle());
        app.connect("localhost", 8999, 8001);
        auto moved = std::move(app);
        FakeInstance unrelated;
        ktremote::Instance other = ktremote::Instance::fromHandle(unrelated.handle());
        other = std::move(moved); // the assigned-to wrapper connected nothing
        EXPECT_EQ(unrelated.disconnects, 0);
        EXPECT_EQ(fake.disconnects, 0);
    }
    EXPECT_EQ(fake.disconnects, 1);
    EXPECT_FALSE(fake.connected) << "the wrapper destroys the instance when it goes";

    FakeInstance second;
    {
        auto app = ktremote::Instance::fromHandle(second.handle());
        app.connect("localhost 8999 8001");
        app.disconnect();
    }
    EXPECT_EQ(second.disconnects, 1);
}

TEST_F(Fixture, ChannelsAreFreedExactlyOnce)
{
    auto app = wrap();
    {
        ktremote::Channel a = app.channel("0,1");
        EXPECT_EQ(FakeChannel::alive, 1);
        ktremote::Channel b = std::move(a);
        EXPECT_FALSE(a);
        EXPECT_EQ(FakeChannel::alive, 1);
        b = app.channelByName("Torque"); // frees the first
        EXPECT_EQ(FakeChannel::alive, 1);
        b = std::move(b);
        EXPECT_EQ(FakeChannel::alive, 1);
        ::ChannelInstance* raw = b.release();
        EXPECT_EQ(FakeChannel::alive, 1);
        ktconFreeChannelInstance(raw);
        EXPECT_EQ(FakeChannel::alive, 0);
    }
    {
        std::vector<ktremote::Channel> all = app.channels();
        EXPECT_EQ(all.size(), 2u); // the unnamed channel has no id
        EXPECT_EQ(FakeChannel::alive, 2);
        EXPECT_EQ(all[1].name(), "Torque");
    }
    EXPECT_EQ(FakeChannel::alive, 0);
}

TEST_F(Fixture, EnumerationGivesBackArrayAndTextsAndSkipsUnnamed)
{
    auto app = wrap();
    // Repeatable, unlike the id enumeration. The texts are freed by the
    // wrapper; the sanitizer build reports any that are not.
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(app.enumerateChannels(), (std::vector<std::string>{"0,1", "0,3"}));
    EXPECT_EQ(fake.enumerationsFreed, 2);
    EXPECT_EQ(app.channelCount(), 3u);

    fake.entries.clear();
    EXPECT_TRUE(app.enumerateChannels().empty());
}

TEST_F(Fixture, IdRangeWalksTheEnumerationOnce)
{
    auto app = wrap();
    std::vector<std::string> ids;
    for (const std::string& id : app.channelIds())
        ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<std::string>{"0,1", "0,2", "0,3"}));
    // A network instance continues where the walk ended: nothing is left.
    auto again = app.channelIds();
    EXPECT_EQ(again.begin(), again.end());

    FakeInstance empty;
    empty.connected = true;
    empty.mode = 1;
    auto emptyApp = ktremote::Instance::fromHandle(empty.handle());
    auto none = emptyApp.channelIds();
    EXPECT_EQ(none.begin(), none.end());
}

TEST_F(Fixture, ReadIntoCallerBuffersDoesNotAllocate)
{
    auto app = wrap();
    ktremote::Channel speed = app.channel("0,1");
    auto* fakeChannel = fake.lastChannel;
    fakeChannel->available = 5;

    std::array<double, 8> values{};
    double times[4] = {};
    allocations = 0;
    countAllocations = true;
    const ktremote::ReadResult r = speed.read(values, times); // at most 4: the smaller array
    countAllocations = false;
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(r.count, 4u);
    EXPECT_FALSE(r.overrun);
    EXPECT_FALSE(r.more);
    EXPECT_EQ(values[3], 3.0);
    EXPECT_EQ(times[3], 0.3);
    EXPECT_EQ(values[4], 0.0); // not written past the count
    EXPECT_FALSE(fakeChannel->lastReadAbsolute);

    speed.readAbsolute(ktremote::Span<double>(values.data(), 2), ktremote::Span<double>(times, 2));
    EXPECT_TRUE(fakeChannel->lastReadAbsolute);
}

TEST_F(Fixture, ReadResultsOtherThanFailuresAreReportedNotThrown)
{
    auto app = wrap();
    ktremote::Channel speed = app.channel("0,1");
    auto* fakeChannel = fake.lastChannel;
    fakeChannel->available = 3;
    std::vector<double> values(10), times(10);

    fakeChannel->readResult = KX_ERR_DATA_OVERRUN; // data still delivered
    ktremote::ReadResult r = speed.read(values, times);
    EXPECT_TRUE(r.overrun);
    EXPECT_EQ(r.count, 3u);

    fakeChannel->readResult = 2; // more samples were waiting
    r = speed.read(values, times);
    EXPECT_TRUE(r.more);
    EXPECT_FALSE(r.overrun);

    // Empty buffers still report the overrun state without touching memory.
    fakeChannel->readResult = KX_ERR_DATA_OVERRUN;
    r = speed.read(ktremote::Span<double>(), ktremote::Span<double>());
    EXPECT_TRUE(r.overrun);
    EXPECT_EQ(r.count, 0u);

    fakeChannel->readResult = KX_ERR_APP_CALL_FAILED;
    EXPECT_THROW(speed.read(values, times), ktremote::Error);
}

TEST_F(Fixture, ConvenienceReadSizesVectorsToTheDeliveredCount)
{
    auto app = wrap();
    ktremote::Channel speed = app.channel("0,1");
    fake.lastChannel->available = 7;
    ktremote::Samples s = speed.read(100);
    EXPECT_EQ(s.values.size(), 7u);
    EXPECT_EQ(s.times.size(), 7u);
    EXPECT_EQ(s.values[6], 6.0);
    s = speed.readAbsolute(2);
    EXPECT_EQ(s.size(), 2u);
    EXPECT_TRUE(fake.lastChannel->lastReadAbsolute);
}

TEST_F(Fixture, TextsAreReturnedWhole)
{
    auto app = wrap();
    ktremote::Channel speed = app.channel("0,1");
    fake.lastChannel->name = std::string(300, 'n') + "\xC3\xA4"; // longer than the first buffer
    fake.lastChannel->unit = std::string(200, 'u');
    EXPECT_EQ(speed.name(), fake.lastChannel->name);
    EXPECT_EQ(speed.unit(), fake.lastChannel->unit);
    fake.lastChannel->unit = "rpm";
    EXPECT_EQ(speed.unit(), "rpm");
    fake.lastChannel->isAsync = true;
    EXPECT_EQ(speed.type(), ktremote::ChannelType::Async);
    speed.write(2.5);
    EXPECT_EQ(fake.lastChannel->written, std::vector<double>{2.5});
}

TEST_F(Fixture, MeasurementStopsExactlyOnce)
{
    auto app = wrap();
    {
        ktremote::Measurement run = app.measure();
        EXPECT_TRUE(run.running());
        ktremote::Measurement moved = std::move(run);
        EXPECT_EQ(fake.starts, 1);
        EXPECT_EQ(fake.stops, 0);
    }
    EXPECT_EQ(fake.stops, 1);
    {
        ktremote::Measurement run = app.measure();
        run.stop();
        EXPECT_FALSE(run.running());
    }
    EXPECT_EQ(fake.starts, 2);
    EXPECT_EQ(fake.stops, 2);
}
