// Recipient verification against the scriptable test backend: every answer
// the backend can give, every way it can fail, what is cached, and what the
// backend received, line by line.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "backend/socket_io.h"
#include "common/unique_fd.h"
#include "filter_fixture.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

TEST(domain_of_test, TakesTextAfterLastUsableAt) {
    const std::pair<const char*, const char*> cases[] = {
        {"x@y", "y"}, {"x@y@z", "z"}, {"@y", "y"},    {"x@", "x@"},
        {"x", "x"},   {"", ""},       {"a@b@", "b@"},
    };
    for (const auto& [address, domain] : cases) {
        EXPECT_STREQ(domain_of(address), domain) << address;
    }
}

const std::string greeting[] = {"HELO gw.test", "MAIL FROM:<postmaster+backscatter@gw.test>"};

class recipient_test : public filter_test {
protected:
    void start_backend(backend_script script = {}) {
        backend = std::make_unique<test_backend>(std::move(script));
        ASSERT_TRUE(route_add("example.test", backend->port(), backend->address()));
    }

    // A backend whose RCPT TO reply is the same for every address.
    void start_backend_answering(const std::string& reply) {
        backend_script script;
        script.rcpt_reply = [reply](const std::string&) { return reply; };
        start_backend(std::move(script));
    }

    std::vector<std::string> backend_lines(std::size_t n) {
        EXPECT_TRUE(backend->wait_for_lines(n, 5s)) << "backend got fewer than " << n << " lines";
        return backend->lines();
    }

    static std::uint16_t closed_port() {
        test_backend probe_port;
        return probe_port.port();  // closed once probe_port is gone
    }

    std::unique_ptr<test_backend> backend;
};

TEST_F(recipient_test, KnownUserPassesAndIsCached) {
    start_backend();
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "known@example.test"), SMFIS_CONTINUE);
    EXPECT_FALSE(conn.reply.has_value());
    EXPECT_EQ(backend_lines(3),
              (std::vector<std::string>{greeting[0], greeting[1], "RCPT TO:<known@example.test>"}));
    EXPECT_EQ(verdict_lookup("known@example.test"), VERDICT_VALID);

    auto& later = connect_from();
    EXPECT_EQ(rcpt(later, "KNOWN@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(backend->connections(), 1) << "a cached verdict needs no backend";
}

TEST_F(recipient_test, UnknownUserIsRejectedAndCachedCaseBlind) {
    for (const char* code : {"550 5.1.1 no such user\r\n", "553 5.1.3 bad mailbox\r\n"}) {
        SetUp();
        start_backend_answering(code);
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, "nobody@example.test"), SMFIS_REJECT) << code;
        ASSERT_TRUE(conn.reply.has_value());
        EXPECT_EQ(conn.reply->code, "550");
        EXPECT_EQ(conn.reply->status, "5.1.1");
        EXPECT_EQ(conn.reply->text, " User unknown");

        backend.reset();  // the backend goes down: the cache still answers
        auto& later = connect_from();
        EXPECT_EQ(rcpt(later, "NoBody@Example.TEST"), SMFIS_REJECT) << code;
        EXPECT_EQ(later.reply->text, " User unknown");
        TearDown();
        connections.clear();
    }
}

TEST_F(recipient_test, UnjudgedRepliesPassWithoutCaching) {
    const char* replies[] = {"251 2.1.5 will forward\r\n",
                             "252 2.1.5 cannot verify\r\n",
                             "450 4.2.0 mailbox busy\r\n",
                             "451 4.3.0 try later\r\n",
                             "552 5.2.2 over quota\r\n",
                             "554 5.7.1 refused\r\n",
                             "hello there\r\n"};
    for (const char* reply : replies) {
        SetUp();
        start_backend_answering(reply);
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE) << reply;
        EXPECT_FALSE(conn.reply.has_value()) << reply;
        EXPECT_FALSE(verdict_lookup("someone@example.test").has_value()) << reply;
        EXPECT_GE(context(conn).backend_fd, 0) << "the conversation stays open";
        // Not cached: the next occurrence is probed again, on the same conversation.
        EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE) << reply;
        EXPECT_EQ(backend_lines(4).back(), "RCPT TO:<someone@example.test>");
        EXPECT_EQ(backend->connections(), 1);
        TearDown();
        connections.clear();
    }
}

TEST_F(recipient_test, UnroutedDomainIsNeitherVerifiedNorCached) {
    start_backend();
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "user@elsewhere.test"), SMFIS_CONTINUE);
    EXPECT_EQ(context(conn).backend_addr.ss_family, AF_UNSPEC);
    EXPECT_EQ(context(conn).port, 25);
    EXPECT_EQ(context(conn).backend_fd, NO_BACKEND);
    EXPECT_EQ(backend->connections(), 0);
    EXPECT_FALSE(verdict_lookup("user@elsewhere.test").has_value());
}

TEST_F(recipient_test, MissingRecipientMacroDefers) {
    start_backend();
    auto& conn = connect_from();
    EXPECT_EQ(cb_envrcpt(&conn, nullptr), SMFIS_TEMPFAIL);
    EXPECT_TRUE(logs.contains(LOG_ERR, "cannot get rcpt address"));
    EXPECT_FALSE(conn.reply.has_value());
}

TEST_F(recipient_test, OneConversationServesEveryRecipientEvenOfOtherRoutes) {
    start_backend();
    test_backend other;
    ASSERT_TRUE(route_add("other.test", other.port(), other.address()));
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "a@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "b@other.test"), SMFIS_CONTINUE);
    EXPECT_EQ(static_cast<std::uint16_t>(context(conn).port), other.port())
        << "the route is still copied";
    EXPECT_EQ(backend_lines(4),
              (std::vector<std::string>{greeting[0], greeting[1], "RCPT TO:<a@example.test>",
                                        "RCPT TO:<b@other.test>"}));
    EXPECT_EQ(other.connections(), 0);
}

TEST_F(recipient_test, RefusedGreetingStillProbes) {
    backend_script script;
    script.helo_reply = "501 5.5.4 bad helo\r\n";
    script.mail_reply = "553 5.1.8 bad sender\r\n";
    script.rcpt_reply = [](const std::string&) { return "550 5.1.1 unknown\r\n"; };
    start_backend(std::move(script));
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_REJECT);
    EXPECT_TRUE(logs.contains(LOG_ERR, "unexpected SMTP reply code on HELO"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "backend did not accept MAIL FROM"));
}

TEST_F(recipient_test, ShortRcptReplyDefersAndDropsConversation) {
    start_backend_answering("250\n");  // four bytes: no usable reply
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_TEMPFAIL);
    EXPECT_EQ(conn.reply->code, "451");
    EXPECT_EQ(conn.reply->status, "4.7.0");
    EXPECT_EQ(conn.reply->text, "Internal error");
    EXPECT_EQ(context(conn).backend_fd, NO_BACKEND);
    const auto lines = logs.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const log_line& line) {
        return line.priority == LOG_ERR && line.text.rfind("cannot read rcptto reply on  ", 0) == 0;
    })) << logs.dump();
    EXPECT_FALSE(verdict_lookup("x@example.test").has_value());
}

TEST_F(recipient_test, OverlongRcptReplyIsNoReplyAndConversationIsNotReused) {
    start_backend_answering("250" + std::string(70 * 1024, 'x') + "\r\n");
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_TEMPFAIL);
    EXPECT_EQ(context(conn).backend_fd, NO_BACKEND);
    EXPECT_FALSE(verdict_lookup("x@example.test").has_value());
}

TEST_F(recipient_test, BannerFailures) {
    struct banner_case {
        const char* name;
        const char* banner;
        bool tempfail_on_error;
        sfsistat expected;
        bool logs_unavailable;
    };
    const banner_case cases[] = {
        {"554 banner passes", "554 5.3.2 no service\r\n", false, SMFIS_CONTINUE, true},
        {"554 banner defers", "554 5.3.2 no service\r\n", true, SMFIS_TEMPFAIL, true},
        {"junk banner passes", "hello\r\n", false, SMFIS_CONTINUE, false},
        {"421 banner defers", "421 4.3.2 busy\r\n", true, SMFIS_TEMPFAIL, false},
    };
    for (const auto& c : cases) {
        SetUp();
        settings.tempfail_on_error = c.tempfail_on_error;
        backend_script script;
        script.banner = c.banner;
        start_backend(std::move(script));
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, "x@example.test"), c.expected) << c.name;
        // The 451 reply is set even when the answer is to pass.
        ASSERT_TRUE(conn.reply.has_value()) << c.name;
        EXPECT_EQ(conn.reply->code, "451") << c.name;
        EXPECT_EQ(logs.contains(LOG_ERR, "backend SMTP service unavailable"), c.logs_unavailable)
            << c.name;
        EXPECT_EQ(context(conn).backend_fd, NO_BACKEND) << c.name;
        // The next recipient that misses the cache opens a new connection.
        rcpt(conn, "y@example.test");
        EXPECT_TRUE(backend->wait_for_connections(2, 5s)) << c.name;
        TearDown();
        connections.clear();
    }
}

TEST_F(recipient_test, UnreachableBackendPassesOrDefersAsConfigured) {
    const std::uint16_t port = closed_port();
    ASSERT_TRUE(route_add("example.test", port, ipv4_address("127.0.0.1")));
    for (const bool tempfail : {false, true}) {
        settings.tempfail_on_error = tempfail;
        logs.clear();
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, "x@example.test"), tempfail ? SMFIS_TEMPFAIL : SMFIS_CONTINUE);
        EXPECT_EQ(conn.reply.has_value(), tempfail);
        if (tempfail) {
            EXPECT_EQ(conn.reply->text, "Internal error");
        }
        EXPECT_TRUE(logs.contains(LOG_WARNING,
                                  "cannot connect to backend SMTP at 127.0.0.1 status Connection "
                                  "refused"))
            << logs.dump();
        EXPECT_EQ(context(conn).backend_fd, NO_BACKEND);
    }
}

TEST_F(recipient_test, CachedInvalidRejectsWhileBackendIsDown) {
    ASSERT_TRUE(route_add("example.test", closed_port(), ipv4_address("127.0.0.1")));
    verdict_add("gone@example.test", VERDICT_INVALID);
    verdict_add("here@example.test", VERDICT_VALID);
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "gone@example.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "here@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(context(conn).backend_fd, NO_BACKEND) << "no backend was contacted";
}

TEST_F(recipient_test, UnwritableAddressesNeverReachTheBackend) {
    start_backend();
    const std::string overlong = std::string(1012 - std::strlen("@example.test"), 'a') +
                                 "@example.test";  // 1012 characters: one too many
    for (const std::string& address :
         {std::string("a\r\nRSET@example.test"), std::string("a\tb@example.test"),
          std::string("a\x7f@example.test"), overlong}) {
        for (const bool tempfail : {false, true}) {
            settings.tempfail_on_error = tempfail;
            logs.clear();
            auto& conn = connect_from();
            EXPECT_EQ(rcpt(conn, address), tempfail ? SMFIS_TEMPFAIL : SMFIS_CONTINUE);
            EXPECT_TRUE(logs.contains(LOG_ERR, "invalid rcpt address"));
            EXPECT_FALSE(verdict_lookup(address).has_value());
        }
    }
    EXPECT_EQ(backend->connections(), 0);

    // The longest address whose command line fits is probed whole.
    auto& conn = connect_from();
    const std::string longest = overlong.substr(1);
    EXPECT_EQ(rcpt(conn, longest), SMFIS_CONTINUE);
    EXPECT_EQ(backend_lines(3).back(), "RCPT TO:<" + longest + ">");
}

TEST_F(recipient_test, SilentBannerRaisesSmtpwait) {
    settings.reply_timeout = 1;
    backend_script script;
    script.banner = "";  // accepts the connection, never greets
    start_backend(std::move(script));
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_CONTINUE);
    EXPECT_TRUE(logs.contains(LOG_WARNING, "cannot read backend SMTP banner"));
    EXPECT_TRUE(logs.contains(LOG_INFO, "increased smtpwait to 1"));
    EXPECT_EQ(smtpwait.load(), 1U);
    EXPECT_EQ(context(conn).backend_fd, NO_BACKEND);
}

TEST_F(recipient_test, SmtpwaitStopsAtFive) {
    backend_script script;
    script.banner = "";
    script.close_after_banner = true;  // closes at once: an empty banner, no wait
    start_backend(std::move(script));
    auto& conn = connect_from();
    for (int attempt = 1; attempt <= 7; ++attempt) {
        EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_CONTINUE);
    }
    EXPECT_EQ(smtpwait.load(), 5U);
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(logs.count("increased smtpwait to " + std::to_string(n)), 1) << n;
    }
    EXPECT_EQ(logs.count("increased smtpwait to 6"), 0);
    EXPECT_EQ(logs.count("cannot read backend SMTP banner"), 7);
}

// Socket creation fails once the descriptor limit is reached.  Every such
// recipient gets the failure answer, not only the first.
TEST_F(recipient_test, SocketCreationFailureDefersEveryRecipient) {
    start_backend();
    settings.tempfail_on_error = true;
    EXPECT_EXIT(
        {
            auto& conn = connect_from();
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = 64;
            setrlimit(RLIMIT_NOFILE, &limit);
            std::vector<unique_fd> hold;
            for (int i = 0; i < 64; ++i) {
                const int fd = dup(0);
                if (fd < 0) break;
                hold.emplace_back(fd);
            }
            int deferred = 0;
            for (int i = 0; i < 3; ++i) {
                deferred += rcpt(conn, "x@example.test") == SMFIS_TEMPFAIL &&
                            context(conn).backend_fd == NO_BACKEND;
            }
            // _exit: no static destructors in the forked child.
            _exit(deferred == 3 && conn.reply.has_value() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kelvantor::testing
