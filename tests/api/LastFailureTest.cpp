// SPDX-License-Identifier: MIT
// The last-failure text of an instance: what it keeps of each kind of
// exception, how much of a long text, and that threads may record and read
// it at once.

#include "api/Failure.h"
#include "api/LastFailure.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ktremote {
namespace {

template <class Exception>
std::string textKeptFor(Exception exception)
{
    LastFailure failure;
    try {
        throw exception;
    } catch (...) {
        failure.recordCurrentException();
    }
    return failure.text();
}

TEST(LastFailure, KeepsTheTextOfEachKindOfException)
{
    EXPECT_EQ(textKeptFor(Failure(-2, "the command connection is closed")), "the command connection is closed");
    EXPECT_EQ(textKeptFor(std::runtime_error("bind: address in use")), "bind: address in use");
    EXPECT_EQ(textKeptFor(std::bad_alloc()), "the library ran out of memory");
    EXPECT_EQ(textKeptFor(42), "an operation failed with an exception of unknown kind");
}

TEST(LastFailure, ANewFailureReplacesTheTextAndNothingElseDoes)
{
    LastFailure failure;
    EXPECT_EQ(failure.text(), "");
    failure.record("the first failure");
    failure.record("a second, shorter");
    EXPECT_EQ(failure.text(), "a second, shorter");
    failure.record(nullptr);
    failure.recordCurrentException(); // no exception is being handled
    EXPECT_EQ(failure.text(), "a second, shorter");
}

TEST(LastFailure, ALongTextIsCutAndStillEnds)
{
    LastFailure failure;
    const std::string longText(1000, 'x');
    failure.record(longText.c_str());
    const std::string kept = failure.text();
    EXPECT_GT(kept.size(), 100u);
    EXPECT_LT(kept.size(), longText.size());
    EXPECT_EQ(kept, longText.substr(0, kept.size()));
}

// Readers see one whole text or another, never a mix (and TSan sees no race).
TEST(LastFailure, ThreadsRecordAndReadAtOnce)
{
    LastFailure failure;
    const std::string texts[] = {std::string(200, 'a'), std::string(50, 'b')};
    std::vector<std::thread> writers;
    for (const std::string& text : texts)
        writers.emplace_back([&failure, &text] {
            for (int k = 0; k < 2000; ++k)
                failure.record(text.c_str());
        });
    for (int k = 0; k < 2000; ++k) {
        const std::string seen = failure.text();
        EXPECT_TRUE(seen.empty() || seen == texts[0] || seen == texts[1]) << seen;
    }
    for (std::thread& writer : writers)
        writer.join();
}

} // namespace
} // namespace ktremote
