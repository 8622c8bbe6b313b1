// Tests of one backend conversation against the scriptable test backend and
// raw peers: the lines it sends, its polite and silent ends, and that every
// command is judged on its own reply however the replies are cut in time,
// late or followed by bytes nobody asked for.
#include "backend/conversation.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/closer.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "support/test_backend.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using testing::backend_script;
using testing::log_capture;
using testing::test_backend;

constexpr conversation_timeouts short_waits{1500ms, 2s};

backend_server server_of(const test_backend& backend) {
    return {backend.address(), backend.port()};
}

// Replies by local part: "bad..." unknown, "odd..." 252, anything else 250.
std::string by_local_part(const std::string& address) {
    if (address.rfind("bad", 0) == 0) return "550 5.1.1 unknown\r\n";
    if (address.rfind("odd", 0) == 0) return "252 2.1.5 cannot verify\r\n";
    return "250 2.1.5 Ok\r\n";
}

TEST(backend_conversation, GreetsProbesAndEndsPolitely) {
    backend_script script;
    script.rcpt_reply = by_local_part;
    test_backend backend(script);
    log_capture log;
    backend_conversation conversation;
    ASSERT_EQ(conversation.open(server_of(backend), short_waits, "gw.test"), open_result::opened);
    EXPECT_TRUE(conversation.is_open());
    EXPECT_EQ(conversation.rcpt("user@dom.test"), rcpt_outcome::accepted);
    EXPECT_EQ(conversation.rcpt("bad@dom.test"), rcpt_outcome::unknown_user);
    EXPECT_EQ(conversation.rcpt("odd@dom.test"), rcpt_outcome::unjudged);
    const int fd = conversation.fd();
    conversation.close();  // the closer's thread ends it
    EXPECT_EQ(conversation.state(), conversation_state::none);
    EXPECT_EQ(conversation.fd(), -1);
    ASSERT_TRUE(backend_closer().wait_idle(10s));
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the socket is closed";
    EXPECT_TRUE(backend.wait_for_finished(1, 10s));
    EXPECT_EQ(backend.lines(), (std::vector<std::string>{
                                   "HELO gw.test", "MAIL FROM:<postmaster+backscatter@gw.test>",
                                   "RCPT TO:<user@dom.test>", "RCPT TO:<bad@dom.test>",
                                   "RCPT TO:<odd@dom.test>", "RSET", "QUIT"}));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

// A banner whose lines come 2 ms apart and replies that each come 0.5 ms
// late: the first line alone must not be taken for the banner, nor a late
// reply for the next command's.
TEST(backend_conversation, SplitBannerAndLateRepliesStayInStep) {
    backend_script script;
    script.banner = "220-backend.test ESMTP\r\n220 ready\r\n";
    script.line_gap = 2ms;
    script.reply_delay = 500us;
    script.rcpt_reply = by_local_part;
    test_backend backend(script);
    backend_conversation conversation;
    ASSERT_EQ(conversation.open(server_of(backend), short_waits, "gw.test"), open_result::opened);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(conversation.rcpt("bad@dom.test"), rcpt_outcome::unknown_user);
        EXPECT_EQ(conversation.rcpt("user@dom.test"), rcpt_outcome::accepted);
    }
    conversation.close();
    EXPECT_TRUE(backend_closer().wait_idle(10s));
}

TEST(backend_conversation, UnaskedBytesEndTheConversation) {
    // After the reply, a line nobody asked for: the next probe would get it.
    backend_script script;
    script.rcpt_reply = by_local_part;
    script.after_rcpt_reply = "250 2.1.5 Ok\r\n";
    test_backend backend(script);
    log_capture log;
    backend_conversation conversation;
    ASSERT_EQ(conversation.open(server_of(backend), short_waits, "gw.test"), open_result::opened);
    const int fd = conversation.fd();
    EXPECT_EQ(conversation.rcpt("bad@dom.test"), rcpt_outcome::failed);
    EXPECT_EQ(conversation.state(), conversation_state::failed);
    EXPECT_TRUE(log.contains(LOG_ERR, "backend reply out of step on fd " + std::to_string(fd)))
        << log.dump();
    EXPECT_TRUE(log.contains(LOG_ERR, "cannot read rcptto reply on  " + std::to_string(fd)))
        << log.dump();
}

TEST(backend_conversation, BytesArrivingBetweenProbesEndTheConversation) {
    // The unasked line comes 50 ms after the reply, once that has been read.
    backend_script script;
    script.rcpt_reply = [](const std::string&) {
        return std::string("550 5.1.1 unknown\r\n250 2.1.5 Ok\r\n");
    };
    script.line_gap = 50ms;
    test_backend backend(script);
    log_capture log;
    backend_conversation conversation;
    ASSERT_EQ(conversation.open(server_of(backend), short_waits, "gw.test"), open_result::opened);
    EXPECT_EQ(conversation.rcpt("bad@dom.test"), rcpt_outcome::unknown_user);
    const int fd = conversation.fd();
    ASSERT_TRUE(testing::wait_queued(fd, 1, 10s));
    EXPECT_EQ(conversation.rcpt("user@dom.test"), rcpt_outcome::failed);
    EXPECT_TRUE(log.contains(LOG_ERR, "backend reply out of step on fd " + std::to_string(fd)))
        << log.dump();
    // The second probe never went out: it would have been answered by the stray line.
    EXPECT_TRUE(backend.wait_for_finished(1, 10s));
    const auto lines = backend.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RCPT TO:<user@dom.test>"), 0);
}

TEST(backend_conversation, BannerFollowedByUnaskedRepliesIsRefused) {
    testing::raw_peer peer({{0ms, "220 mx\r\n250 helo\r\n250 mail\r\n"}});
    reset_slow_banner_allowance();
    log_capture log;
    backend_conversation conversation;
    EXPECT_EQ(conversation.open({peer.address(), peer.port()}, short_waits, "gw.test"),
              open_result::bad_banner);
    EXPECT_FALSE(conversation.is_open());
    EXPECT_EQ(slow_banner_allowance(), 0s) << "not a slow backend";
    EXPECT_FALSE(log.contains(LOG_WARNING, "cannot read backend SMTP banner")) << log.dump();
}

// A HELO that gets no reply: the greeting is given up, since a late reply
// would be taken for MAIL FROM's and MAIL FROM's for the probe's.
TEST(backend_conversation, HeloWithoutReplyEndsTheGreeting) {
    // smtp_command's fixed wait is far too long for a test: a peer that closes
    // after the banner gives the same "no reply" at once.
    testing::raw_peer peer({{0ms, "220 mx\r\n"}}, testing::raw_end::close);
    reset_slow_banner_allowance();
    log_capture log;
    backend_conversation conversation;
    EXPECT_EQ(conversation.open({peer.address(), peer.port()}, short_waits, "gw.test"),
              open_result::greeting_lost);
    EXPECT_EQ(conversation.state(), conversation_state::failed);
    EXPECT_EQ(slow_banner_allowance(), 1s);
    EXPECT_TRUE(log.contains(LOG_ERR, "cannot read HELO reply")) << log.dump();
    EXPECT_TRUE(log.contains(LOG_INFO, "increased smtpwait to 1")) << log.dump();
    reset_slow_banner_allowance();
}

TEST(backend_conversation, BannerFailures) {
    struct banner_case {
        const char* name;
        std::string banner;
        bool close_after;
        open_result result;
        bool raises_allowance;
    } const cases[] = {
        {"silent", "", false, open_result::no_banner, true},
        {"unfinished", "220 half", false, open_result::no_banner, true},
        {"5xx", "554 no service\r\n", false, open_result::unavailable, false},
        {"not 220", "421 busy\r\n", false, open_result::not_greeted, false},
        {"junk", "hello there\r\n", false, open_result::not_greeted, false},
        // Over the reply cap: not a slow backend, so no allowance and no "cannot read".
        {"over the cap", "220-" + std::string(70 * 1024, 'x') + "\r\n220 ok\r\n", false,
         open_result::bad_banner, false},
        {"four bytes", "220\n", false, open_result::no_banner, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset_slow_banner_allowance();
        backend_script script;
        script.banner = c.banner;
        test_backend backend(script);
        log_capture log;
        backend_conversation conversation;
        EXPECT_EQ(conversation.open(server_of(backend), {1500ms, 1s}, "gw.test"), c.result);
        EXPECT_FALSE(conversation.is_open());
        EXPECT_EQ(slow_banner_allowance(), c.raises_allowance ? 1s : 0s);
        EXPECT_EQ(log.contains(LOG_WARNING, "cannot read backend SMTP banner"), c.raises_allowance)
            << log.dump();
        EXPECT_EQ(log.contains(LOG_ERR, "backend SMTP service unavailable"),
                  c.result == open_result::unavailable)
            << log.dump();
    }
    reset_slow_banner_allowance();
}

TEST(backend_conversation, AllowanceStopsAtFive) {
    reset_slow_banner_allowance();
    log_capture log;
    for (int i = 0; i < 7; ++i) raise_slow_banner_allowance();
    EXPECT_EQ(slow_banner_allowance(), 5s);
    EXPECT_TRUE(log.contains(LOG_INFO, "increased smtpwait to 5")) << log.dump();
    EXPECT_EQ(log.lines().size(), 5U) << log.dump();
    reset_slow_banner_allowance();
}

TEST(backend_conversation, VanishedBackendStillClosed) {
    backend_script script;
    script.close_after_rcpt = true;
    test_backend backend(script);
    backend_conversation conversation;
    ASSERT_EQ(conversation.open(server_of(backend), short_waits, "gw.test"), open_result::opened);
    EXPECT_EQ(conversation.rcpt("user@dom.test"), rcpt_outcome::accepted);
    ASSERT_TRUE(backend.wait_for_finished(1, 10s));
    log_capture log;
    const int fd = conversation.fd();
    conversation.close();
    EXPECT_EQ(conversation.state(), conversation_state::none);
    ASSERT_TRUE(backend_closer().wait_idle(10s));
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    // RSET and QUIT each fail, either at the write or at the read.
    for (const std::string verb : {"RSET", "QUIT"}) {
        EXPECT_TRUE(log.contains(LOG_ERR, "cannot send " + verb) ||
                    log.contains(LOG_ERR, "cannot read " + verb + " reply"))
            << log.dump();
    }
}

TEST(backend_conversation, CloseFailuresAreLoggedByHowTheConversationEnded) {
    test_backend backend;
    for (const bool failure : {false, true}) {
        SCOPED_TRACE(failure ? "after a failed probe" : "dropped");
        backend_conversation conversation;
        ASSERT_EQ(conversation.open(server_of(backend), short_waits, "gw.test"),
                  open_result::opened);
        ::close(conversation.fd());  // behind its back: its own close then fails
        log_capture log;
        if (failure) {
            EXPECT_EQ(conversation.rcpt("user@dom.test"), rcpt_outcome::failed);
        } else {
            conversation.drop();
        }
        const std::string text = failure ? "close fd error " : "socket close error ";
        EXPECT_TRUE(log.contains(LOG_ERR, text + std::strerror(EBADF))) << log.dump();
        EXPECT_EQ(conversation.state(), conversation_state::failed);
    }
}

TEST(backend_server, SameServerByAddressAndPort) {
    const backend_server a{testing::loopback_address(25), 25};
    backend_server other_port = a;
    other_port.port = 26;
    backend_server stored_port = a;
    stored_port.address = testing::loopback_address(99);  // the port in the address is not used
    backend_server other_host = a;
    reinterpret_cast<sockaddr_in&>(other_host.address).sin_addr.s_addr = htonl(0x7f000002);
    EXPECT_TRUE(a == stored_port);
    EXPECT_FALSE(a == other_port);
    EXPECT_FALSE(a == other_host);
}

TEST(rcpt_address_writable, ControlCharactersAndLength) {
    EXPECT_TRUE(rcpt_address_writable("user@dom.test"));
    EXPECT_TRUE(rcpt_address_writable(std::string(1011, 'a')));
    EXPECT_FALSE(rcpt_address_writable(std::string(1012, 'a')));
    for (const char* bad : {"a\r\nQUIT@x", "a\tb@x", "a\x7f@x", "a\nb@x"}) {
        EXPECT_FALSE(rcpt_address_writable(bad)) << bad;
    }
}

}  // namespace
}  // namespace kelvantor
