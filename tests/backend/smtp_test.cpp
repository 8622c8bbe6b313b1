// Tests of SMTP commands on a backend connection: the lines on the wire, how
// reply codes are judged and logged, closed and vanished backends, and the
// polite and silent ends of a backend conversation.
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
    int result;
    std::string wire;
    std::string logged;  // the one LOG_ERR line, or empty for none
};

TEST(smtp_command, LinesAndReplyCodes) {
    const std::string long_name(2000, 'h');
    const command_case cases[] = {
        {"RSET", "", "250", "250 2.0.0 Ok\r\n", SMTP_OK, "RSET\r\n", ""},
        {"QUIT", "", "221", "221 2.0.0 Bye\r\n", SMTP_OK, "QUIT\r\n", ""},
        {"HELO", "gw.test", "250", "250 backend.test\r\n", SMTP_OK, "HELO gw.test\r\n", ""},
        {"HELO", "", "250", "250 backend.test\r\n", SMTP_OK, "HELO\r\n", ""},
        {"MAIL FROM", ":<postmaster+backscatter@gw.test>", "250", "250 2.1.0 Ok\r\n", SMTP_OK,
         "MAIL FROM:<postmaster+backscatter@gw.test>\r\n", ""},
        {"HELO", "gw", "250", "250-backend.test\r\n250-PIPELINING\r\n250 8BITMIME\r\n", SMTP_OK,
         "HELO gw\r\n", ""},
        {"HELO", "gw", "250", "250\r\n", SMTP_OK, "HELO gw\r\n", ""},
        {"HELO", "gw", "250", "250\r", SMTP_NO_REPLY, "HELO gw\r\n", "cannot read HELO reply"},
        {"MAIL FROM", ":<a@b>", "250", "550 no\r\n", SMTP_FAILED, "MAIL FROM:<a@b>\r\n",
         "backend did not accept MAIL FROM"},
        {"HELO", "gw", "250", "552 full\r\n", SMTP_FAILED, "HELO gw\r\n",
         "backend did not accept HELO"},
        {"HELO", "gw", "250", "554 no service\r\n", SMTP_FAILED, "HELO gw\r\n",
         "backend did not accept HELO"},
        {"HELO", "gw", "250", "501 syntax\r\n", SMTP_FAILED, "HELO gw\r\n",
         "unexpected SMTP reply code on HELO"},
        {"MAIL FROM", ":<a@b>", "250", "451 later\r\n", SMTP_FAILED, "MAIL FROM:<a@b>\r\n",
         "unexpected SMTP reply code on MAIL FROM"},
        {"RSET", "", "250", "221 Bye\r\n", SMTP_FAILED, "RSET\r\n",
         "unexpected SMTP reply code on RSET"},
        // A line longer than the block is cut at 1023 bytes, CR LF included.
        {"HELO", long_name, "250", "250 ok\r\n", SMTP_OK, ("HELO " + long_name).substr(0, 1023),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire.substr(0, 40) + " / " + c.reply);
        raw_peer peer({{0ms, c.reply}});
        const unique_fd fd(open_slot(peer.port()));
        ASSERT_TRUE(testing::wait_queued(fd.get(), c.reply.size(), 10s));
        log_capture log;
        EXPECT_EQ(smtp_command(fd.get(), c.verb, c.argument.c_str(), c.expected), c.result);
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

TEST(smtp_command, ClosedBackendAndOverlongReply) {
    struct {
        raw_end end;
        std::string sent;
        short awaited;  // what the client sees before the command
        int result;
        std::vector<std::string> logged;
    } const cases[] = {
        // Closed: the write still succeeds, the read finds the end.
        {raw_end::close, "", POLLIN, SMTP_NO_REPLY, {"cannot read HELO reply"}},
        // Reset: the write itself fails.
        {raw_end::reset,
         "",
         POLLHUP,
         SMTP_FAILED,
         {"clientwrite fail error " + std::to_string(ECONNRESET), "cannot send HELO"}},
        {raw_end::stay_open,
         std::string(reply_cap + 100, '2'),
         POLLIN,
         SMTP_TOO_LONG,
         {"backend reply too long on fd %d", "cannot read HELO reply"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        raw_peer peer({{0ms, c.sent}}, c.end);
        const unique_fd fd(open_slot(peer.port()));
        ASSERT_TRUE(peer.wait_played(10s));
        ASSERT_TRUE(testing::wait_events(fd.get(), c.awaited, 10s));
        if (!c.sent.empty()) {
            ASSERT_TRUE(testing::wait_queued(fd.get(), reply_cap + 1, 10s));
        }
        log_capture log;
        EXPECT_EQ(smtp_command(fd.get(), "HELO", "gw", "250"), c.result);
        ASSERT_EQ(log.lines().size(), c.logged.size()) << log.dump();
        for (std::string text : c.logged) {
            if (text.find("%d") != std::string::npos) {
                text.replace(text.find("%d"), 2, std::to_string(fd.get()));
            }
            EXPECT_TRUE(log.contains(LOG_ERR, text)) << log.dump();
        }
    }
}

TEST(smtp_quit, PoliteEndOfConversation) {
    testing::backend_script script;
    std::string probed;
    script.rcpt_reply = [&probed](const std::string& address) {
        probed = address;
        return std::string("250 2.1.5 Ok\r\n");
    };
    testing::test_backend backend(script);
    int slot = open_slot(backend.port());
    ASSERT_GE(slot, 0);
    log_capture log;
    reply_buffer banner;
    EXPECT_GT(read_reply(slot, banner, 10s), 4);
    EXPECT_EQ(smtp_command(slot, "HELO", "gw.test", "250"), SMTP_OK);
    EXPECT_EQ(smtp_command(slot, "MAIL FROM", ":<p@gw.test>", "250"), SMTP_OK);
    EXPECT_EQ(smtp_command(slot, "RCPT TO", ":<user@dom.test>", "250"), SMTP_OK);
    const int old = slot;
    smtp_quit(slot);
    EXPECT_EQ(slot, NO_BACKEND);
    EXPECT_EQ(::fcntl(old, F_GETFD), -1);
    EXPECT_TRUE(backend.wait_for_finished(1, 10s));
    EXPECT_EQ(probed, "user@dom.test");
    EXPECT_EQ(backend.lines(),
              (std::vector<std::string>{"HELO gw.test", "MAIL FROM:<p@gw.test>",
                                        "RCPT TO:<user@dom.test>", "RSET", "QUIT"}));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(smtp_quit, VanishedBackendStillClosed) {
    raw_peer peer({}, raw_end::reset);
    int slot = open_slot(peer.port());
    ASSERT_GE(slot, 0);
    ASSERT_TRUE(testing::wait_events(slot, POLLHUP, 10s));
    log_capture log;
    const int old = slot;
    smtp_quit(slot);
    EXPECT_EQ(slot, NO_BACKEND);
    EXPECT_EQ(::fcntl(old, F_GETFD), -1);
    EXPECT_TRUE(log.contains(LOG_ERR, "cannot send RSET")) << log.dump();
    EXPECT_TRUE(log.contains(LOG_ERR, "cannot send QUIT")) << log.dump();
}

TEST(backend_socket_close, ClosesOnlyDescriptorsAndLogsFailures) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const unique_fd other_end(pipe_ends[1]);
    int closed_number[2];
    ASSERT_EQ(::pipe(closed_number), 0);
    ::close(closed_number[0]);
    ::close(closed_number[1]);

    struct {
        int slot;
        bool logged;
    } const cases[] = {
        {pipe_ends[0], false}, {-1, false}, {NO_BACKEND, false}, {closed_number[0], true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slot);
        log_capture log;
        int slot = c.slot;
        close_backend_socket(slot, "close fd error %s");
        EXPECT_EQ(slot, NO_BACKEND);
        if (c.slot >= 0) {
            EXPECT_EQ(::fcntl(c.slot, F_GETFD), -1);
        }
        EXPECT_EQ(log.contains(LOG_ERR, std::string("close fd error ") + std::strerror(EBADF)),
                  c.logged)
            << log.dump();
        EXPECT_EQ(log.lines().size(), c.logged ? 1U : 0U) << log.dump();
    }
}

}  // namespace
}  // namespace kelvantor
