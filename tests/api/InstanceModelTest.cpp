// SPDX-License-Identifier: MIT
// Instances and channels as the host sees them without a peer: creation,
// defaults, version, the shared channel operations and the id enumeration.

#include "KtremoteVersion.h"
#include "TestInstances.h"
#include "ktremote.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ktremote;
using namespace ktremote::test;

TEST(Version, IsCopiedWithItsTerminator)
{
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ktconGetVersion(buffer, sizeof buffer), KX_OK);
    EXPECT_STREQ(buffer, ktremote::versionText);
    EXPECT_EQ(ktconGetVersion(buffer, 9), KX_OK);
    EXPECT_STREQ(buffer, ktremote::versionText);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ktconGetVersion(buffer, 4), KX_OK); // short buffer: truncated, never overrun
    EXPECT_STREQ(buffer, "1.1");
    EXPECT_EQ(buffer[4], 'x');
}

TEST(CreateInstance, BothKindsStartUnconnectedWithDefaults)
{
    for (int useNetwork : {0, 1, -3}) {
        ::KTXInstance* handle = nullptr;
        ASSERT_EQ(ktconCreateInstance(&handle, useNetwork), KX_OK);
        ASSERT_NE(handle, nullptr);
        const ktremote::KTXInstance& instance = *instanceOf(handle);
        EXPECT_FALSE(instance.connected);
        EXPECT_EQ(instance.mode, 0);
        EXPECT_EQ(instance.bufferSize, -1);
        EXPECT_EQ(instance.idCursor, 0);
        EXPECT_EQ(instance.nextOrdinal, 0);
        EXPECT_EQ(instance.host, "localhost");
        EXPECT_EQ(instance.commandPort, "8999");
        EXPECT_EQ(instance.dataPort, "8001");
        EXPECT_TRUE(instance.channels.empty());
        EXPECT_TRUE(instance.channelIds.empty());

        size_t count = 5;
        EXPECT_EQ(ktconGetChannelCount(handle, &count), KX_ERR_NOT_CONNECTED);
        EXPECT_EQ(count, 5u);

        // Destroying only validates: the handle keeps working.
        EXPECT_EQ(ktconDestroyInstance(handle), KX_OK);
        EXPECT_EQ(ktconGetState(handle, nullptr), KX_ERR_NOT_CONNECTED);
        delete instanceOf(handle); // the test, not the library, reclaims it
    }
}

TEST(CreateInstance, AFailedConnectIsReportedAndShowsAsNotConnectedLater)
{
    for (int useNetwork : {0, 1}) {
        ::KTXInstance* handle = nullptr;
        ASSERT_EQ(ktconCreateInstance(&handle, useNetwork), KX_OK);
        // Two words are never a valid network address, so this fails fast;
        // without COM the automation instance cannot connect at all.
        EXPECT_EQ(ktconConnect(handle, "localhost 8999"), useNetwork ? KX_ERR_BAD_ADDRESS : KX_ERR_APP_NOT_CREATED);
        int state = 7;
        EXPECT_EQ(ktconGetState(handle, &state), KX_ERR_NOT_CONNECTED);
        EXPECT_EQ(state, 7);
        delete instanceOf(handle);
    }
}

TEST(ChannelOperations, TypeFollowsTheKindFlags)
{
    struct Case {
        bool isAsync, isSingleValue;
        int type;
    } cases[] = {{true, false, KX_CHANNEL_ASYNC},
                 {true, true, KX_CHANNEL_ASYNC},
                 {false, true, KX_CHANNEL_SINGLE_VALUE},
                 {false, false, KX_CHANNEL_SYNC}};
    TestInstance owner(true, 1);
    for (const Case& c : cases) {
        TestChannel channel;
        channel.owner = &owner;
        channel.isAsync = c.isAsync;
        channel.isSingleValue = c.isSingleValue;
        int type = -1;
        EXPECT_EQ(ktconGetChannelType(handleOf(&channel), &type), KX_OK);
        EXPECT_EQ(type, c.type);
    }
}

TEST(ChannelOperations, NameAndUnitCopiesStayInsideTheBuffer)
{
    TestInstance owner(true, 1);
    TestChannel channel;
    channel.owner = &owner;
    channel.name = "Temperature";
    channel.unit = "degC";
    bool control = true;
    EXPECT_EQ(ktconIsChannelControl(handleOf(&channel), &control), KX_OK);
    EXPECT_FALSE(control);

    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ktconGetChUnit(handleOf(&channel), buffer, sizeof buffer), KX_OK);
    EXPECT_STREQ(buffer, "degC");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ktconChannelGetName(handleOf(&channel), buffer, 5), KX_OK);
    EXPECT_STREQ(buffer, "Temp");
    EXPECT_EQ(buffer[5], 'x');
    EXPECT_EQ(ktconChannelGetName(handleOf(&channel), buffer, 0), KX_OK);
    EXPECT_EQ(buffer[0], 'T');
}

namespace {

struct Utf8Result {
    KX_ERROR_CODE result;
    std::string text;
    size_t required;
};

Utf8Result nameUtf8(const std::string& name, size_t bufferSize, bool withBuffer = true)
{
    TestInstance owner(true, 1);
    TestChannel channel;
    channel.owner = &owner;
    channel.name = name;
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    size_t required = 0;
    const KX_ERROR_CODE result =
        ktconChannelGetNameUtf8(handleOf(&channel), withBuffer ? buffer : nullptr, bufferSize, &required);
    if (withBuffer && bufferSize > 0) {
        EXPECT_EQ(buffer[bufferSize], 'x') << "wrote past the buffer";
    }
    return {result, withBuffer && bufferSize > 0 ? std::string(buffer) : std::string(), required};
}

} // namespace

TEST(ChannelGetNameUtf8, CutsOnlyBetweenWholeCharacters)
{
    auto r = nameUtf8("Load", 5);
    EXPECT_EQ(r.result, KX_OK);
    EXPECT_EQ(r.text, "Load");
    EXPECT_EQ(r.required, 5u);

    r = nameUtf8("Load", 4);
    EXPECT_EQ(r.result, KX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.text, "Loa");
    EXPECT_EQ(r.required, 5u);

    r = nameUtf8("Load", 5, false);
    EXPECT_EQ(r.result, KX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.required, 5u);

    r = nameUtf8("Load", 0);
    EXPECT_EQ(r.result, KX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.required, 5u);

    const std::string aUmlautB = "A\xC3\xA4"
                                 "B";
    r = nameUtf8(aUmlautB, 3); // the cut would split the two-byte character
    EXPECT_EQ(r.result, KX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.text, "A");
    r = nameUtf8(aUmlautB, 4);
    EXPECT_EQ(r.text, "A\xC3\xA4");
    r = nameUtf8(aUmlautB, 5);
    EXPECT_EQ(r.result, KX_OK);
    EXPECT_EQ(r.text, aUmlautB);

    r = nameUtf8("\xE2\x82\xAC", 3); // a three-byte character that does not fit
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.required, 4u);
}

TEST(ChannelIdEnumeration, DeliversIdsInOrderAndStopsAtTheEnd)
{
    TestInstance instance(true, 1);
    instance.ids = {"0,1", "0,22", "0,333"};
    ASSERT_EQ(ktconInitChannelIdEnum(instance.handle()), KX_OK);
    const int expectedResult[] = {0, 0, 1};
    for (int k = 0; k < 3; ++k) {
        int size = 0;
        EXPECT_EQ(ktconGetNextChannelIdSize(instance.handle(), &size), KX_OK);
        EXPECT_EQ(size, static_cast<int>(instance.ids[k].size() + 1));
        char buffer[16];
        EXPECT_EQ(ktconGetNextChannelId(instance.handle(), buffer), expectedResult[k]);
        EXPECT_EQ(std::string(buffer), instance.ids[k]);
    }
    int size = 77;
    char buffer[8] = "keep";
    EXPECT_EQ(ktconGetNextChannelIdSize(instance.handle(), &size), KX_OK);
    EXPECT_EQ(ktconGetNextChannelId(instance.handle(), buffer), 1);
    EXPECT_EQ(ktconGetNextChannelId(instance.handle(), buffer), 1);
    EXPECT_EQ(size, 77);
    EXPECT_STREQ(buffer, "keep");

    instance.idCursor = -2; // a negative cursor is out of range too
    EXPECT_EQ(ktconGetNextChannelId(instance.handle(), buffer), 1);
    EXPECT_STREQ(buffer, "keep");
}

TEST(ChannelIdEnumeration, EmptyListEndsAtOnce)
{
    TestInstance instance(true, 1);
    int size = 77;
    char buffer[8] = "keep";
    EXPECT_EQ(ktconGetNextChannelIdSize(instance.handle(), &size), KX_OK);
    EXPECT_EQ(ktconGetNextChannelId(instance.handle(), buffer), 1);
    EXPECT_EQ(size, 77);
    EXPECT_STREQ(buffer, "keep");
}

TEST(FreeEnumerateChannels, ReleasesTheArrayBlockOnly)
{
    TestInstance instance(false, 5); // no connected or mode check
    char** ids = nullptr;
    EXPECT_EQ(ktconFreeEnumerateChannels(instance.handle(), &ids), KX_OK);

    ids = static_cast<char**>(std::malloc(2 * sizeof(char*)));
    char* text = static_cast<char*>(std::malloc(4));
    ids[0] = text;
    ids[1] = nullptr;
    EXPECT_EQ(ktconFreeEnumerateChannels(instance.handle(), &ids), KX_OK);
    std::free(text); // still the host's
}
