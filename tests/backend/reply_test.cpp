// Tests of reply parsing alone: where a reply ends, however its bytes are
// cut into pieces, and what each code means to the filter.
#include "backend/reply.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvantor {
namespace {

using state = reply_scanner::state;

struct scan_case {
    std::string bytes;
    state whole;         // the state with all bytes at once
    std::size_t length;  // the reply's length, unless partial
};

// Every case is fed at once, and byte by byte: the answer must not depend
// on how the bytes were cut.
TEST(reply_scanner, FindsTheEndOfOneReply) {
    const scan_case cases[] = {
        {"250 ok\r\n", state::complete, 8},
        {"250\r\n", state::complete, 5},
        {"250\n", state::complete, 4},
        {"250-first\r\n250 last\r\n", state::complete, 21},
        {"250-a\r\n250-b\r\n250-c\r\n250 d\r\n", state::complete, 28},
        {"hello\r\n", state::complete, 7},  // no code: a whole (unusable) line, judged as such
        {"\n", state::complete, 1},
        {"250-first\r\n", state::partial, 0},
        {"250 ok", state::partial, 0},
        {"250 ok\r", state::partial, 0},
        {"", state::partial, 0},
        {"250 ok\r\n250 extra\r\n", state::overrun, 8},
        {"250-a\r\n250 b\r\nx", state::overrun, 14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        reply_scanner at_once;
        EXPECT_EQ(at_once.scan(c.bytes.data(), c.bytes.size()), c.whole);
        if (c.whole != state::partial) {
            EXPECT_EQ(at_once.reply_length(), c.length);
        }

        reply_scanner dripped;
        state seen = state::partial;
        for (std::size_t n = 1; n <= c.bytes.size() && seen != state::overrun; ++n) {
            seen = dripped.scan(c.bytes.data(), n);
            // Complete exactly when the final line's LF has arrived.
            if (n < c.length) {
                EXPECT_EQ(seen, state::partial) << n;
            }
        }
        if (!c.bytes.empty()) {
            EXPECT_EQ(seen, c.whole);
        }
    }
}

TEST(reply_scanner, LaterBytesAfterACompleteReplyAreAnOverrun) {
    const std::string bytes = "220 mx\r\nX";
    reply_scanner scanner;
    EXPECT_EQ(scanner.scan(bytes.data(), 8), state::complete);
    EXPECT_EQ(scanner.scan(bytes.data(), 9), state::overrun);
    EXPECT_EQ(scanner.reply_length(), 8U);
}

TEST(classify_reply, ByTheFirstThreeCharacters) {
    const std::pair<std::string, reply_kind> cases[] = {
        {"250 2.1.5 Ok\r\n", reply_kind::accepted},
        {"250\r\n", reply_kind::accepted},
        {"250-a\r\n250 b\r\n", reply_kind::accepted},
        {"250\n", reply_kind::unusable},
        {"250", reply_kind::unusable},
        {"", reply_kind::unusable},
        {"220 mx ESMTP\r\n", reply_kind::greeting},
        {"221 Bye\r\n", reply_kind::closing},
        {"251 forwarded\r\n", reply_kind::other_2xx},
        {"252 cannot verify\r\n", reply_kind::other_2xx},
        {"2xx odd\r\n", reply_kind::other_2xx},
        {"550 5.1.1 unknown\r\n", reply_kind::unknown_user},
        {"553 5.1.3 bad address\r\n", reply_kind::unknown_user},
        {"552 5.2.2 full\r\n", reply_kind::refused},
        {"554 5.7.1 denied\r\n", reply_kind::refused},
        {"521 no mail\r\n", reply_kind::other_5xx},
        {"5 junk\r\n", reply_kind::other_5xx},
        {"450 4.2.0 busy\r\n", reply_kind::other},
        {"451 4.3.0 error\r\n", reply_kind::other},
        {"354 go on\r\n", reply_kind::other},
        {"junk\r\n", reply_kind::other},
    };
    for (const auto& [reply, kind] : cases) {
        EXPECT_EQ(classify_reply(reply), kind) << reply;
    }
    EXPECT_TRUE(is_permanent_failure(reply_kind::unknown_user));
    EXPECT_TRUE(is_permanent_failure(reply_kind::other_5xx));
    EXPECT_FALSE(is_permanent_failure(reply_kind::other));
}

}  // namespace
}  // namespace kelvantor
