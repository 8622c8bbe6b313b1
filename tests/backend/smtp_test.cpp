// Tests of SMTP commands on a backend connection: the lines on the wire, how
// reply codes are judged and logged, and closed, unfinished, out-of-step and
// overlong replies.
#include "backend/smtp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/socket_io.h"
#include "common/unique_fd.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "support/test_backend.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using testing::log_capture;
using testing::raw_end;
using testing::raw_peer;

int open_slot(std::uint16_t port) {
    const int fd = testing::connect_plain(port);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    return fd;
}

struct command_case {
    const char* verb;
    std::string argument;
    const char* expected;
    std::string reply;  // queued before the command goes out: replies match by order alone
    command_result result;
    std::string wire;
    std::string logged;  // the one LOG_ERR line, or empty for none
};

TEST(smtp_command, LinesAndReplyCodes) {
    const std::string long_name(2000, 'h');
    const command_case cases[] = {
        {"RSET", "", "250", "250 2.0.0 Ok\r\n", command_result::ok, "RSET\r\n", ""},
        {"QUIT", "", "221", "221 2.0.0 Bye\r\n", command_result::ok, "QUIT\r\n", ""},
        {"HELO", "gw.test", "250", "250 backend.test\r\n", command_result::ok, "HELO gw.test\r\n",
         ""},
        {"HELO", "", "250", "250 backend.test\r\n", command_result::ok, "HELO\r\n", ""},
        {"MAIL FROM", ":<postmaster+backscatter@gw.test>", "250", "250 2.1.0 Ok\r\n",
         command_result::ok, "MAIL FROM:<postmaster+backscatter@gw.test>\r\n", ""},
        {"HELO", "gw", "250", "250-backend.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n",
         command_result::ok, "HELO gw\r\n", ""},
        {"HELO", "gw", "250", "250\r\n", command_result::ok, "HELO gw\r\n", ""},
        {"HELO", "gw", "250", "250\n", command_result::short_reply, "HELO gw\r\n",
         "cannot read HELO reply"},
        {"MAIL FROM", ":<a@b>", "250", "550 no\r\n", command_result::refused, "MAIL FROM:<a@b>\r\n",
         "backend did not accept MAIL FROM"},
        {"HELO", "gw", "250", "552 full\r\n", command_result::refused, "HELO gw\r\n",
         "backend did not accept HELO"},
        {"HELO", "gw", "250", "554 no service\r\n", command_result::refused, "HELO gw\r\n",
         "backend did not accept HELO"},
        {"HELO", "gw", "250", "501 syntax\r\n", command_result::refused, "HELO gw\r\n",
         "unexpected SMTP reply code on HELO"},
        {"MAIL FROM", ":<a@b>", "250", "451 later\r\n", command_result::refused,
         "MAIL FROM:<a@b>\r\n", "unexpected SMTP reply code on MAIL FROM"},
        {"RSET", "", "250", "221 Bye\r\n", command_result::refused, "RSET\r\n",
         "unexpected SMTP reply code on RSET"},
        // A line longer than the block is cut at 1023 bytes, CR LF included.
        {"HELO", long_name, "250", "250 ok\r\n", command_result::ok,
         ("HELO " + long_name).substr(0, 1023), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire.substr(0, 40) + " / " + c.reply);
        raw_peer peer({{0ms, c.reply}});
        const unique_fd fd(open_slot(peer.port()));
        ASSERT_TRUE(testing::wait_queued(fd.get(), c.reply.size(), 10s));
        log_capture log;
        EXPECT_EQ(smtp_command(fd.get(), c.verb, c.argument.c_str(), c.expected, 5s), c.result);
        EXPECT_TRUE(peer.wait_for_received(c.wire.size(), 10s));
        EXPECT_EQ(peer.received(), c.wire);
        const auto lines = log.lines();
        if (c.logged.empty()) {
            EXPECT_TRUE(lines.empty()) << log.dump();
        } else {
            EXPECT_EQ(lines.size(), 1U) << log.dump();
            EXPECT_TRUE(log.contains(LOG_ERR, c.logged)) << log.dump();
        }
    }
}

TEST(smtp_command, ClosedBackendUnfinishedAndOverlongReplies) {
    struct {
        const char* name;
        raw_end end;
        std::string sent;
        short awaited;  // what the client sees before the command
        command_result result;
        std::vector<std::string> logged;
    } const cases[] = {
        // Closed: the write still succeeds, the read finds the end.
        {"closed",
         raw_end::close,
         "",
         POLLIN,
         command_result::no_reply,
         {"cannot read HELO reply"}},
        // Reset: the write itself fails.
        {"reset",
         raw_end::reset,
         "",
         POLLHUP,
         command_result::refused,
         {"clientwrite fail error " + std::to_string(ECONNRESET), "cannot send HELO"}},
        // Never a whole reply within the wait: a later end would be the next command's.
        {"CR only",
         raw_end::stay_open,
         "250\r",
         POLLIN,
         command_result::no_reply,
         {"incomplete backend reply on fd %d", "cannot read HELO reply"}},
        {"unasked line after the reply",
         raw_end::stay_open,
         "250 ok\r\n250 again\r\n",
         POLLIN,
         command_result::broken,
         {"backend reply out of step on fd %d", "cannot read HELO reply"}},
        {"over the cap",
         raw_end::stay_open,
         std::string(reply_cap + 100, '2'),
         POLLIN,
         command_result::broken,
         {"backend reply too long on fd %d", "cannot read HELO reply"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        raw_peer peer({{0ms, c.sent}}, c.end);
        const unique_fd fd(open_slot(peer.port()));
        ASSERT_TRUE(peer.wait_played(10s));
        ASSERT_TRUE(testing::wait_events(fd.get(), c.awaited, 10s));
        if (!c.sent.empty()) {
            ASSERT_TRUE(
                testing::wait_queued(fd.get(), std::min(c.sent.size(), reply_cap + 1), 10s));
        }
        log_capture log;
        EXPECT_EQ(smtp_command(fd.get(), "HELO", "gw", "250", 300ms), c.result);
        ASSERT_EQ(log.lines().size(), c.logged.size()) << log.dump();
        for (std::string text : c.logged) {
            if (text.find("%d") != std::string::npos) {
                text.replace(text.find("%d"), 2, std::to_string(fd.get()));
            }
            EXPECT_TRUE(log.contains(LOG_ERR, text)) << log.dump();
        }
    }
}

}  // namespace
}  // namespace kelvantor
