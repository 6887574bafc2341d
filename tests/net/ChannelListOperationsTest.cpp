// SPDX-License-Identifier: MIT
// The used-channel list of a connected network instance: counting, both
// enumerations, handles by id and by name, and transfer marks.

#include "ChannelLines.h"
#include "NetTestSupport.h"

#include "api/ExportGuards.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace ktremote::test {
namespace {

// An application whose used-channel list is `lines`.
struct ListedApplication : ConnectedInstance {
    explicit ListedApplication(std::vector<Line> lines) : ConnectedInstance(listing(std::move(lines))) {}
};

// Three listed channels, one without a name, and one that the list filter
// drops.
std::vector<Line> sampleLines()
{
    return {Line().id("1").name("Speed"), Line().id("2").name(""), Line().id("9").name("Raw").set(13, "0"),
            Line().id("3;4").name("Torque")};
}

TEST(ChannelListOperations, CountAndEnumerationRefreshTheList)
{
    ListedApplication app(sampleLines());
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app.handle(), &count), KX_OK);
    EXPECT_EQ(count, 3u);

    char** ids = nullptr;
    ASSERT_EQ(ktconEnumerateChannels(app.handle(), &ids, &count), KX_OK);
    ASSERT_EQ(count, 3u); // the nameless channel is counted ...
    ASSERT_NE(ids, nullptr);
    EXPECT_STREQ(ids[0], "0,1");
    EXPECT_STREQ(ids[1], "0,3,4"); // ... but gets no entry
    EXPECT_EQ(ids[2], nullptr);
    for (size_t k = 0; k < count; ++k)
        std::free(ids[k]);
    EXPECT_EQ(ktconFreeEnumerateChannels(app.handle(), &ids), KX_OK);

    EXPECT_EQ(app.sentAfterConnect(), "LISTUSEDCHS DW\r\nLISTUSEDCHS DW\r\n");
}

TEST(ChannelListOperations, AnEmptyListGivesNoChannels)
{
    ListedApplication app({});
    size_t count = 99;
    ASSERT_EQ(ktconGetChannelCount(app.handle(), &count), KX_OK);
    EXPECT_EQ(count, 0u);
    char** ids = nullptr;
    count = 99;
    ASSERT_EQ(ktconEnumerateChannels(app.handle(), &ids, &count), KX_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(ids, nullptr);
    EXPECT_EQ(ktconFreeEnumerateChannels(app.handle(), &ids), KX_OK);

    ASSERT_EQ(ktconInitChannelIdEnum(app.handle()), KX_OK);
    int32_t size = -7;
    char buffer[8] = "keep";
    EXPECT_EQ(app.instance->GetNextChannelIdSize(&size), 1);
    EXPECT_EQ(app.instance->GetNextChannelId(buffer), 1);
    EXPECT_EQ(size, -7);
    EXPECT_STREQ(buffer, "keep");
}

TEST(ChannelListOperations, IdEnumerationVisitsEveryRecordOnceAndDoesNotRestart)
{
    ListedApplication app(sampleLines());
    ASSERT_EQ(ktconInitChannelIdEnum(app.handle()), KX_OK);
    const struct {
        const char* id;
        int result;
    } expected[] = {{"0,1", 0}, {"0,2", 0}, {"0,3,4", 1}};
    for (const auto& e : expected) {
        int32_t size = 0;
        ASSERT_EQ(app.instance->GetNextChannelIdSize(&size), 0);
        EXPECT_EQ(size, static_cast<int32_t>(std::strlen(e.id) + 1));
        std::vector<char> buffer(static_cast<size_t>(size), 'x');
        EXPECT_EQ(ktconGetNextChannelId(app.handle(), buffer.data()), e.result);
        EXPECT_STREQ(buffer.data(), e.id);
    }
    int32_t size = -7;
    char buffer[8] = "keep";
    EXPECT_EQ(app.instance->GetNextChannelIdSize(&size), 1);
    EXPECT_EQ(ktconGetNextChannelId(app.handle(), buffer), 1);
    EXPECT_EQ(size, -7);
    EXPECT_STREQ(buffer, "keep");

    // A second enumeration refreshes the list but goes on from where the
    // first one stopped.
    ASSERT_EQ(ktconInitChannelIdEnum(app.handle()), KX_OK);
    EXPECT_EQ(ktconGetNextChannelId(app.handle(), buffer), 1);
    EXPECT_STREQ(buffer, "keep");
}

TEST(ChannelListOperations, HandlesAreFoundByIdOrNameAndMarkTheirRecord)
{
    ListedApplication app({Line().id("5").name("First").set(8, "V").set(9, "-1"), Line().id("5").name("Second"),
                           Line().id("6").name("")});
    ::ChannelInstance* out = nullptr;
    // Nothing can be found before the list was fetched.
    EXPECT_EQ(ktconCreateChannelInstance(app.handle(), "0,5", &out), KX_ERR_CHANNEL_NOT_CREATED);
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app.handle(), &count), KX_OK);

    ASSERT_EQ(ktconCreateChannelInstance(app.handle(), "0,5", &out), KX_OK);
    std::unique_ptr<ChannelInstance> byId(channelOf(out));
    EXPECT_EQ(byId->name, "First"); // the first of two records with that id
    EXPECT_EQ(byId->unit, "V");
    EXPECT_TRUE(byId->isControl);
    EXPECT_TRUE(byId->transferred);
    EXPECT_EQ(byId->owner, app.instance.get());
    const auto& channels = app.instance->channels;
    EXPECT_TRUE(channels[0].transferred);
    EXPECT_EQ(channels[0].owner, app.instance.get());
    EXPECT_FALSE(channels[1].transferred);

    ASSERT_EQ(ktconCreateChannelInstanceByNameUtf8(app.handle(), "Second", &out), KX_OK);
    std::unique_ptr<ChannelInstance> byName(channelOf(out));
    EXPECT_EQ(byName->id, "0,5");
    EXPECT_EQ(byName->name, "Second");
    EXPECT_TRUE(channels[1].transferred);

    for (const char* id : {"0,", "0,55", "5", "0,5 "})
        EXPECT_EQ(ktconCreateChannelInstance(app.handle(), id, &out), KX_ERR_CHANNEL_NOT_CREATED) << id;
    // An empty name never matches, not even the record without a name.
    for (const char* name : {"", "first", "Secon", "Second "})
        EXPECT_EQ(ktconCreateChannelInstanceByNameUtf8(app.handle(), name, &out), KX_ERR_CHANNEL_NOT_FOUND) << name;
    EXPECT_EQ(channels[2].transferred, false);
}

TEST(ChannelListOperations, TransferMarksGoByIdAndARefreshDropsThem)
{
    ListedApplication app({Line().id("5").name("A"), Line().id("6").name("B"), Line().id("5").name("C")});
    size_t count = 0;
    ASSERT_EQ(ktconGetChannelCount(app.handle(), &count), KX_OK);
    auto& channels = app.instance->channels;

    app.instance->SetTransferredById("0,5", true);
    EXPECT_TRUE(channels[0].transferred);
    EXPECT_FALSE(channels[1].transferred);
    EXPECT_TRUE(channels[2].transferred);
    app.instance->SetTransferredById("0,5", false);
    EXPECT_FALSE(channels[0].transferred);
    EXPECT_FALSE(channels[2].transferred);

    ::ChannelInstance* out = nullptr;
    ASSERT_EQ(ktconCreateChannelInstance(app.handle(), "0,6", &out), KX_OK);
    std::unique_ptr<ChannelInstance> handle(channelOf(out));
    ASSERT_TRUE(channels[1].transferred);
    ASSERT_EQ(ktconGetChannelCount(app.handle(), &count), KX_OK);
    for (const auto& record : channels) {
        EXPECT_FALSE(record.transferred) << record.id;
        EXPECT_EQ(record.owner, nullptr) << record.id;
    }
    EXPECT_TRUE(handle->transferred); // the handle is a copy of its own
}

TEST(ChannelListOperations, ABadListFailsTheCallAndKeepsTheRecordsBeforeIt)
{
    ListedApplication app({Line().id("1"), Line().id("2").set(13, "two"), Line().id("3")});
    size_t count = 99;
    EXPECT_EQ(ktconGetChannelCount(app.handle(), &count), KX_ERR_FAILED);
    EXPECT_EQ(lastFailureText(app.handle()), "a numeric field of a channel list line holds no number");
    EXPECT_EQ(count, 99u);
    ASSERT_EQ(app.instance->channels.size(), 1u);
    EXPECT_EQ(app.instance->channels[0].id, "0,1");
}

} // namespace
} // namespace ktremote::test
