// SPDX-License-Identifier: MIT
// The call helper against a recording object: argument shapes as the
// application receives them, and failures raised with their codes.

#include "automation/ChannelId.h"
#include "automation/InvokeMember.h"
#include "api/Failure.h"
#include "fake/FakeObject.h"
#include "ktremote.h"

#include <gtest/gtest.h>

using namespace ktremote;

namespace {

class InvokeMemberTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"Init", "LoadSetup", "GetDataValues", "AddAsyncData", "FindChannelByIndexEx"})
            object->on(DISPATCH_METHOD, name, [](auto&, VARIANT* r) { return fake::setInt(r, 7), S_OK; });
        object->on(DISPATCH_PROPERTYGET, "Item", [](auto&, VARIANT* r) { return fake::setInt(r, 8), S_OK; });
        object->on(DISPATCH_PROPERTYPUT, "Visible", [](auto&, VARIANT*) { return S_OK; });
        object->on(DISPATCH_PROPERTYPUT, "SingleValue", [](auto&, VARIANT*) { return S_OK; });
        object->on(DISPATCH_METHOD, "Refuses", [](auto&, VARIANT*) { return E_FAIL; });
    }
    void TearDown() override
    {
        object->Release();
        EXPECT_EQ(recorder->live, 0);
    }

    std::string lastCall() const { return recorder->calls.empty() ? "" : recorder->calls.back().str(); }

    template <class Call>
    int raisedCode(Call&& call)
    {
        try {
            call();
        } catch (const Failure& failure) {
            return failure.code();
        }
        return 0;
    }

    std::shared_ptr<fake::Recorder> recorder = std::make_shared<fake::Recorder>();
    fake::FakeObject* object = new fake::FakeObject(recorder, "app", "app");
};

} // namespace

TEST_F(InvokeMemberTest, OnlyPropertyPutsSendTheNamedArgument)
{
    EXPECT_EQ(callMethod(object, L"Init").int32(), 7);
    EXPECT_EQ(lastCall(), "app.Init()");
    EXPECT_EQ(getItem(object, 2).int32(), 8);
    EXPECT_EQ(lastCall(), "app.Item[UI2 2]");
    putSmallInteger(object, L"Visible", 1);
    EXPECT_EQ(lastCall(), "app.Visible := UI2 1 named(-3)");
    putDouble(object, L"SingleValue", 0.25);
    EXPECT_EQ(lastCall(), "app.SingleValue := R8 0.25 named(-3)");
}

TEST_F(InvokeMemberTest, SmallIntegersArriveAsTheirLow16Bits)
{
    const struct {
        int32_t sent;
        int arrived;
    } cases[] = {{1, 1}, {3, 3}, {-1, 65535}, {70000, 4464}, {65536, 0}};
    for (const auto& c : cases) {
        callMethodWithCount(object, L"GetDataValues", c.sent);
        EXPECT_EQ(lastCall(), "app.GetDataValues(UI2 " + std::to_string(c.arrived) + ")") << c.sent;
    }
}

TEST_F(InvokeMemberTest, TextArrayAndPairArgumentsArriveInParameterOrder)
{
    callMethodWithText(object, L"LoadSetup", L"C:\\setups\\m\u00fchle.kts");
    EXPECT_EQ(lastCall(), "app.LoadSetup(BSTR 'C:\\setups\\m\xC3\xBChle.kts')");
    callMethodWithText(object, L"LoadSetup", L"");
    EXPECT_EQ(lastCall(), "app.LoadSetup(BSTR '')");
    callAddAsyncData(object, 2.5, -1.0);
    EXPECT_EQ(lastCall(), "app.AddAsyncData(R8 2.5, R8 -1)");
    callFindChannelByIndexEx(object, {3, 0});
    EXPECT_EQ(lastCall(), "app.FindChannelByIndexEx(I4[3,0])");
    callFindChannelByIndexEx(object, {});
    EXPECT_EQ(lastCall(), "app.FindChannelByIndexEx(I4[])");
}

TEST_F(InvokeMemberTest, FailuresAreRaisedWithTheirCodes)
{
    EXPECT_EQ(raisedCode([&] { callMethod(object, L"NoSuchMember"); }), KX_ERR_AUTOMATION_CALL);
    EXPECT_TRUE(recorder->calls.empty()) << "an unknown name must not be invoked";
    EXPECT_EQ(raisedCode([&] { callMethod(object, L"Refuses"); }), KX_ERR_AUTOMATION_CALL);
    EXPECT_EQ(raisedCode([&] { getProperty(object, L"Init"); }), KX_ERR_AUTOMATION_CALL); // wrong kind
    EXPECT_EQ(raisedCode([&] { callMethod(nullptr, L"Init"); }), KX_ERR_NO_TARGET_OBJECT);
    EXPECT_EQ(raisedCode([&] { putSmallInteger(nullptr, L"Visible", 1); }), KX_ERR_NO_TARGET_OBJECT);
}

TEST_F(InvokeMemberTest, ResultsWithoutAnObjectGiveNoObject)
{
    const Variant integer = callMethod(object, L"Init");
    EXPECT_EQ(integer.object(), nullptr);
    const Variant empty;
    EXPECT_EQ(empty.object(), nullptr);
    EXPECT_EQ(empty.int32(), 0);
    EXPECT_FALSE(empty.isTrue());
    EXPECT_EQ(empty.text(), "");
}

TEST(ChannelId, FormatsAndParses)
{
    EXPECT_EQ(formatChannelId({2, 0}), "2,0");
    EXPECT_EQ(formatChannelId({-5, 12, 0}), "-5,12,0");
    EXPECT_EQ(formatChannelId({}), "");

    const struct {
        const char* text;
        std::vector<int32_t> indices;
    } cases[] = {
        {"3,0", {3, 0}}, {"3, 0", {3, 0}},   {"3 0", {3, 0}},      {"3,,0", {3}},
        {" 7", {7}},     {"-1,+2", {-1, 2}}, {"abc", {}},          {"", {}},
        {"4,x,5", {4}},  {"1,2,", {1, 2}},   {"2147483648,1", {}}, {"-2147483648", {INT32_MIN}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseChannelId(c.text), c.indices) << c.text;
}

TEST(ChannelId, ReadsTheIndexArrayOfAnAnswer)
{
    Variant answer;
    const int32_t ids[] = {3, 0, 12};
    fake::setArray(answer.get(), VT_I4, ids, 3);
    EXPECT_EQ(indicesOf(answer), (std::vector<int32_t>{3, 0, 12}));

    Variant empty;
    fake::setArray(empty.get(), VT_I4, nullptr, 0);
    EXPECT_TRUE(indicesOf(empty).empty());
    Variant notAnArray;
    fake::setInt(notAnArray.get(), 3);
    EXPECT_TRUE(indicesOf(notAnArray).empty());
    Variant doubles;
    const double wide[] = {1.0};
    fake::setArray(doubles.get(), VT_R8, wide, 1);
    EXPECT_TRUE(indicesOf(doubles).empty());
}
