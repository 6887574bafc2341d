// SPDX-License-Identifier: MIT
// A calling thread reading its own reply: where it stops at the reply size
// limit, and that a wake raised before the wait still ends it. On a local
// socket pair, where the test writes the peer's bytes itself.

#include "net/CallerReplyRead.h"

#include <gtest/gtest.h>

#include <string>

#if defined(__linux__)
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace ktremote::test {
namespace {

#if defined(__linux__)

// Both ends of a connected stream socket pair.
class SocketPair {
public:
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
    ~SocketPair()
    {
        for (int end : ends)
            if (end >= 0)
                ::close(end);
    }

    int reader() const { return ends[0]; }

    void write(const std::string& bytes) const
    {
        ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void closeWriter()
    {
        ::close(ends[1]);
        ends[1] = -1;
    }

private:
    int ends[2] = {-1, -1};
};

// The limit counts every byte held: a reply that ends exactly at it is
// whole, one without its end fails there, however much more is waiting,
// and no byte beyond the limit is taken from the socket.
TEST(CallerReplyRead, TheLimitIsTheLastByteAReplyMayEndAtAndNoneBeyondItIsRead)
{
    const CallerWake wake;
    ASSERT_TRUE(wake.usable());
    {
        SocketPair pair;
        pair.write("+OK 0123456789\r\n");
        std::string text;
        EXPECT_EQ(readReplyOnCaller(pair.reader(), wake, ReplyEnd::line(), text, 16), CallerReadResult::Complete);
        EXPECT_EQ(text, "+OK 0123456789\r\n");
    }
    {
        SocketPair pair;
        pair.write("+OK 01234567890\r\nNEXT");
        std::string text;
        EXPECT_EQ(readReplyOnCaller(pair.reader(), wake, ReplyEnd::line(), text, 16), CallerReadResult::Oversized);
        EXPECT_EQ(text, "+OK 01234567890\r");
        char rest[8] = {};
        EXPECT_EQ(::recv(pair.reader(), rest, sizeof rest, MSG_DONTWAIT), 5);
        EXPECT_EQ(std::string(rest, 5), "\nNEXT");
    }
}

// A list reply ends with the line end of its end line, which may come
// after the peer's bytes so far ran out: then the read fails with what came.
TEST(CallerReplyRead, AListWithoutTheLineEndOfItsEndLineIsNotWhole)
{
    const CallerWake wake;
    SocketPair pair;
    pair.write("CH 1\r\n+ETX end list");
    pair.closeWriter();
    std::string text;
    EXPECT_EQ(readReplyOnCaller(pair.reader(), wake, ReplyEnd::list(), text, 1 << 20), CallerReadResult::Failed);
    EXPECT_EQ(text, "CH 1\r\n+ETX end list");
}

// A wake raised before the caller waits still ends the wait; lowered, it
// lets the next read run to its reply.
TEST(CallerReplyRead, AWakeRaisedBeforeTheWaitEndsItUntilLowered)
{
    CallerWake wake;
    SocketPair pair;
    wake.raise();
    std::string text;
    EXPECT_EQ(readReplyOnCaller(pair.reader(), wake, ReplyEnd::line(), text, 1 << 20), CallerReadResult::Woken);
    wake.lower();
    pair.write("+OK\r\n");
    EXPECT_EQ(readReplyOnCaller(pair.reader(), wake, ReplyEnd::line(), text, 1 << 20), CallerReadResult::Complete);
    EXPECT_EQ(text, "+OK\r\n");
}

#else

TEST(CallerReplyRead, OnlyWhereCallersReadReplies) { EXPECT_FALSE(callerReadsReplies); }

#endif

} // namespace
} // namespace ktremote::test
