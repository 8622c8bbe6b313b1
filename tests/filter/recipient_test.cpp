// Recipient verification against the scriptable test backend: every answer
// the backend can give, every way it can fail, what is cached, and what the
// backend received, line by line.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "backend/conversation.h"
#include "common/unique_fd.h"
#include "filter_fixture.h"
#include "metrics/metrics.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

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

    // Backend conversations of the connection that are open now.
    static int open_conversations(fake_milter_ctx& conn) {
        const auto& all = context(conn).conversations;
        return static_cast<int>(
            std::count_if(all.begin(), all.end(), [](const auto& c) { return c.is_open(); }));
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

class unknown_user_test : public recipient_test,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(unknown_user_test, IsRejectedAndCachedCaseBlind) {
    start_backend_answering(GetParam());
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "nobody@example.test"), SMFIS_REJECT);
    ASSERT_TRUE(conn.reply.has_value());
    EXPECT_EQ(conn.reply->code, "550");
    EXPECT_EQ(conn.reply->status, "5.1.1");
    EXPECT_EQ(conn.reply->text, " User unknown");

    backend.reset();  // the backend goes down: the cache still answers
    auto& later = connect_from();
    EXPECT_EQ(rcpt(later, "NoBody@Example.TEST"), SMFIS_REJECT);
    EXPECT_EQ(later.reply->text, " User unknown");
}

INSTANTIATE_TEST_SUITE_P(codes, unknown_user_test,
                         ::testing::Values("550 5.1.1 no such user\r\n",
                                           "553 5.1.3 bad mailbox\r\n"));

class unjudged_reply_test : public recipient_test,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(unjudged_reply_test, PassesWithoutCaching) {
    const char* reply = GetParam();
    start_backend_answering(reply);
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE);
    EXPECT_FALSE(conn.reply.has_value());
    EXPECT_FALSE(verdict_lookup("someone@example.test").has_value());
    EXPECT_EQ(open_conversations(conn), 1) << "the conversation stays open";
    // Not cached: the next occurrence is probed again, on the same conversation.
    EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(backend_lines(4).back(), "RCPT TO:<someone@example.test>");
    EXPECT_EQ(backend->connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(replies, unjudged_reply_test,
                         ::testing::Values("251 2.1.5 will forward\r\n",
                                           "252 2.1.5 cannot verify\r\n",
                                           "450 4.2.0 mailbox busy\r\n", "451 4.3.0 try later\r\n",
                                           "552 5.2.2 over quota\r\n", "554 5.7.1 refused\r\n",
                                           "hello there\r\n"));

TEST_F(recipient_test, UnroutedDomainIsNeitherVerifiedNorCached) {
    start_backend();
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "user@elsewhere.test"), SMFIS_CONTINUE);
    EXPECT_TRUE(context(conn).conversations.empty());
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

TEST_F(recipient_test, OneConversationServesEveryRecipientOfTheSameServer) {
    start_backend();
    ASSERT_TRUE(route_add("same.test", backend->port(), backend->address()));
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "a@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "b@same.test"), SMFIS_CONTINUE);
    EXPECT_EQ(backend_lines(4),
              (std::vector<std::string>{greeting[0], greeting[1], "RCPT TO:<a@example.test>",
                                        "RCPT TO:<b@same.test>"}));
    EXPECT_EQ(backend->connections(), 1);
}

// With a cap, client connections share the server's greeted conversations:
// the catch-all probe and the recipients of later connections go over the
// same one, a message's end does not end it, and a route whose first server
// is down is served through its fallback's pool.
TEST_F(recipient_test, CappedServerIsAskedOverPooledConversations) {
    settings.backend_max_connections = 1;
    settings.catch_all_check = true;
    backend_script script;
    script.rcpt_reply = [](const std::string& address) {  // one-letter users only
        return address[1] == '@' ? "250 2.1.5 Ok\r\n" : "550 5.1.1 unknown\r\n";
    };
    start_backend(script);
    test_backend fallback(script);
    fallback_list fallbacks;
    fallbacks.servers.at(0) = {fallback.port(), fallback.address()};
    fallbacks.count = 1;
    route_table table = *routes_installed();
    ASSERT_TRUE(table.add("spare.test", closed_port(), ipv4_address("127.0.0.1"), fallbacks));
    ASSERT_TRUE(routes_install(std::move(table)));
    for (const char* address : {"a@example.test", "b@example.test", "c@spare.test"}) {
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, address), SMFIS_CONTINUE) << address;
        EXPECT_EQ(cb_eoh(&conn), SMFIS_CONTINUE);
        cb_close(&conn);
    }
    const auto lines = backend_lines(5);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2),
              std::vector<std::string>(greeting, greeting + 2));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.end()),
              (std::vector<std::string>{"RCPT TO:<a@example.test>", "RCPT TO:<b@example.test>"}));
    EXPECT_EQ(backend->connections(), 1);
    ASSERT_TRUE(fallback.wait_for_lines(4, 5s));  // the random probe, then the recipient
    EXPECT_EQ(fallback.lines().back(), "RCPT TO:<c@spare.test>");
}

// Two routes on two servers, each of which refuses to relay for the other's
// domain: every recipient must be judged by its own server, or a relay
// refusal would be cached as an unknown user.
TEST_F(recipient_test, RecipientsOfTwoServersAreEachJudgedByTheirOwn) {
    const auto server_for = [](const std::string& domain) {
        backend_script script;
        script.rcpt_reply = [domain](const std::string& address) {
            if (address.size() < domain.size() ||
                address.compare(address.size() - domain.size(), domain.size(), domain) != 0) {
                return std::string("550 5.7.1 relaying denied\r\n");
            }
            return std::string(address.rfind("bad", 0) == 0 ? "550 5.1.1 unknown\r\n"
                                                            : "250 2.1.5 Ok\r\n");
        };
        return script;
    };
    test_backend first(server_for("@one.test"));
    test_backend second(server_for("@two.test"));
    ASSERT_TRUE(route_add("one.test", first.port(), first.address()));
    ASSERT_TRUE(route_add("two.test", second.port(), second.address()));

    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "a@one.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "b@two.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "bad1@one.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "c@two.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "bad2@two.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "d@one.test"), SMFIS_CONTINUE);
    EXPECT_EQ(open_conversations(conn), 2);
    cb_eoh(&conn);  // ends both, politely
    EXPECT_EQ(open_conversations(conn), 0);

    for (const char* valid : {"a@one.test", "b@two.test", "c@two.test", "d@one.test"}) {
        EXPECT_EQ(verdict_lookup(valid), VERDICT_VALID) << valid;
    }
    EXPECT_EQ(verdict_lookup("bad1@one.test"), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("bad2@two.test"), VERDICT_INVALID);
    ASSERT_TRUE(first.wait_for_finished(1, 5s));
    ASSERT_TRUE(second.wait_for_finished(1, 5s));
    EXPECT_EQ(first.connections(), 1);
    EXPECT_EQ(second.connections(), 1);
    EXPECT_EQ(first.lines(),
              (std::vector<std::string>{greeting[0], greeting[1], "RCPT TO:<a@one.test>",
                                        "RCPT TO:<bad1@one.test>", "RCPT TO:<d@one.test>", "RSET",
                                        "QUIT"}));
    EXPECT_EQ(second.lines(),
              (std::vector<std::string>{greeting[0], greeting[1], "RCPT TO:<b@two.test>",
                                        "RCPT TO:<c@two.test>", "RCPT TO:<bad2@two.test>", "RSET",
                                        "QUIT"}));
}

// A banner whose two lines come 2 ms apart and replies that each come
// 0.5 ms late: each command is judged on its own reply, and only the two
// verdicts the backend gave are cached.
TEST_F(recipient_test, SplitBannerAndLateRepliesGiveTheBackendsVerdicts) {
    settings.tempfail_on_error = true;
    backend_script script;
    script.banner = "220-backend.test ESMTP\r\n220 ready\r\n";
    script.line_gap = 2ms;
    script.reply_delay = 500us;
    script.rcpt_reply = [](const std::string& address) {
        return std::string(address.rfind("unknown", 0) == 0 ? "550 5.1.1 unknown\r\n"
                                                            : "250 2.1.5 Ok\r\n");
    };
    start_backend(std::move(script));
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "unknown@example.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "known@example.test"), SMFIS_CONTINUE);
    cb_close(&conn);

    backend.reset();  // stopped: what is left is what the cache holds
    std::vector<std::pair<std::string, std::uint32_t>> held;
    auto collect = [&held](std::uint32_t status, const char* address) {
        held.emplace_back(address, status);
        return true;
    };
    verdict_walk(collect);
    EXPECT_EQ(held, (std::vector<std::pair<std::string, std::uint32_t>>{
                        {"unknown@example.test", VERDICT_INVALID},
                        {"known@example.test", VERDICT_VALID}}));
    auto& later = connect_from();
    EXPECT_EQ(rcpt(later, "other@example.test"), SMFIS_TEMPFAIL) << "the backend is gone";
}

// Replies out of step end the conversation: nothing is cached from them,
// and the recipient is deferred as for a reply that never came.
TEST_F(recipient_test, RepliesOutOfStepAreNeverJudged) {
    struct out_of_step_case {
        const char* name;
        std::string rcpt_reply;
        std::string after_rcpt;
    } const cases[] = {
        {"unasked line after the reply", "550 5.1.1 unknown\r\n", "250 2.1.5 Ok\r\n"},
        {"continuation never finished", "250-first\r\n", ""},
        {"reply without a line end", "250 ok", ""},
    };
    settings.reply_timeout = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend_script script;
        script.rcpt_reply = [reply = c.rcpt_reply](const std::string&) { return reply; };
        script.after_rcpt_reply = c.after_rcpt;
        test_backend stepping(std::move(script));
        route_list_clear();
        ASSERT_TRUE(route_add("example.test", stepping.port(), stepping.address()));
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_TEMPFAIL);
        ASSERT_TRUE(conn.reply.has_value());
        EXPECT_EQ(conn.reply->code, "451");
        EXPECT_EQ(open_conversations(conn), 0);
        EXPECT_FALSE(verdict_lookup("x@example.test").has_value());
        cb_close(&conn);
    }
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
    EXPECT_EQ(open_conversations(conn), 0);
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
    EXPECT_EQ(open_conversations(conn), 0);
    EXPECT_FALSE(verdict_lookup("x@example.test").has_value());
}

struct banner_case {
    const char* name;
    const char* banner;
    bool tempfail_on_error;
    sfsistat expected;
    bool logs_unavailable;
};

class banner_failure_test : public recipient_test,
                            public ::testing::WithParamInterface<banner_case> {};

TEST_P(banner_failure_test, FailsTheRecipientAndTheNextOneReconnects) {
    const banner_case& c = GetParam();
    settings.tempfail_on_error = c.tempfail_on_error;
    backend_script script;
    script.banner = c.banner;
    start_backend(std::move(script));
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "x@example.test"), c.expected);
    // The 451 reply is set even when the answer is to pass.
    ASSERT_TRUE(conn.reply.has_value());
    EXPECT_EQ(conn.reply->code, "451");
    EXPECT_EQ(logs.contains(LOG_ERR, "backend SMTP service unavailable"), c.logs_unavailable);
    EXPECT_EQ(open_conversations(conn), 0);
    // The next recipient that misses the cache opens a new connection.
    rcpt(conn, "y@example.test");
    EXPECT_TRUE(backend->wait_for_connections(2, 5s));
}

INSTANTIATE_TEST_SUITE_P(
    banners, banner_failure_test,
    ::testing::Values(
        banner_case{"passes_554", "554 5.3.2 no service\r\n", false, SMFIS_CONTINUE, true},
        banner_case{"defers_554", "554 5.3.2 no service\r\n", true, SMFIS_TEMPFAIL, true},
        banner_case{"passes_junk", "hello\r\n", false, SMFIS_CONTINUE, false},
        banner_case{"defers_421", "421 4.3.2 busy\r\n", true, SMFIS_TEMPFAIL, false}),
    [](const ::testing::TestParamInfo<banner_case>& info) { return std::string(info.param.name); });

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
        EXPECT_EQ(open_conversations(conn), 0);
    }
}

// The value of one "name value" line of stats_text().
std::uint64_t stat(const std::string& name) {
    const std::string text = "\n" + stats_text();
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << name << " in\n" << text;
        return UINT64_MAX;
    }
    return std::stoull(text.substr(at + name.size() + 2));
}

TEST_F(recipient_test, BackendTroubleIsCountedByWhetherAProbeWentOut) {
    metrics_reset();
    const std::uint16_t down_port = closed_port();
    ASSERT_TRUE(route_add("down.test", down_port, ipv4_address("127.0.0.1")));
    start_backend_answering("250\n");  // four bytes: no usable reply
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "x@down.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "x@example.test"), SMFIS_TEMPFAIL);
    EXPECT_EQ(rcpt(conn, "x@elsewhere.test"), SMFIS_CONTINUE);

    EXPECT_EQ(stat("connections_checked"), 1U);
    EXPECT_EQ(stat("cache_lookups_miss"), 2U);
    EXPECT_EQ(stat("backend_probes_unreachable"), 1U);
    EXPECT_EQ(stat("backend_probes_no_reply"), 1U);
    EXPECT_EQ(stat("backend_probes_accepted"), 0U);
    // Each with the server its route names.
    const std::string down = "@127.0.0.1:" + std::to_string(down_port);
    const std::string up = "@127.0.0.1:" + std::to_string(backend->port());
    EXPECT_EQ(stat("backend_probes_unreachable" + down), 1U);
    EXPECT_EQ(stat("backend_probes_no_reply" + down), 0U);
    EXPECT_EQ(stat("backend_probes_no_reply" + up), 1U);
    EXPECT_EQ(stat("backend_probes_unreachable" + up), 0U);
    // Only the probe that went out has a round trip.
    EXPECT_EQ(stat("backend_probe_seconds_count"), 1U);
    EXPECT_EQ(stat("recipients_passed"), 1U);
    EXPECT_EQ(stat("recipients_deferred"), 1U);
    EXPECT_EQ(stat("recipients_unrouted"), 1U);

    // Exempt clients are counted at connect; their recipients never are.
    fake_milter_ctx exempt;
    sockaddr_storage loopback = ipv4_address("127.0.0.1");
    EXPECT_EQ(cb_connect(&exempt, nullptr, as_sockaddr(loopback)), SMFIS_ACCEPT);
    cb_close(&exempt);
    EXPECT_EQ(stat("connections_exempt"), 1U);
    EXPECT_EQ(stat("connections_checked"), 1U);
}

TEST_F(recipient_test, CachedInvalidRejectsWhileBackendIsDown) {
    ASSERT_TRUE(route_add("example.test", closed_port(), ipv4_address("127.0.0.1")));
    verdict_add("gone@example.test", VERDICT_INVALID);
    verdict_add("here@example.test", VERDICT_VALID);
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "gone@example.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "here@example.test"), SMFIS_CONTINUE);
    EXPECT_TRUE(context(conn).conversations.empty()) << "no backend was contacted";
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
    EXPECT_EQ(slow_banner_allowance(), 1s);
    EXPECT_EQ(open_conversations(conn), 0);
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
    EXPECT_EQ(slow_banner_allowance(), 5s);
    for (int n = 1; n <= 5; ++n) {
        EXPECT_EQ(logs.count("increased smtpwait to " + std::to_string(n)), 1) << n;
    }
    EXPECT_EQ(logs.count("increased smtpwait to 6"), 0);
    EXPECT_EQ(logs.count("cannot read backend SMTP banner"), 7);
}

// LogVerdicts: one line per decided recipient, saying where its answer came
// from; off, nothing is logged for a recipient.
TEST_F(recipient_test, LogVerdictsTellsWhereEachAnswerCameFrom) {
    backend_script script;
    script.rcpt_reply = [](const std::string& address) -> std::string {
        if (address.starts_with("unknown")) return "550 5.1.1 no such user\r\n";
        if (address.starts_with("busy")) return "451 4.3.0 try later\r\n";
        return "250 2.1.5 Ok\r\n";
    };
    start_backend(std::move(script));
    const std::string at = " at 127.0.0.1:" + std::to_string(backend->port()) + ")";
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "quiet@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(logs.lines().size(), 0U) << logs.dump();

    settings.log_verdicts = true;
    EXPECT_EQ(rcpt(conn, "known@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "unknown@example.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "busy@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "Known@Example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "unknown@example.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "x@elsewhere.test"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "bad\x01@example.test"), SMFIS_CONTINUE);
    const std::uint16_t v6_port = closed_port();
    ASSERT_TRUE(route_add("v6.test", v6_port, ipv6_address("::1")));
    EXPECT_EQ(rcpt(conn, "x@v6.test"), SMFIS_CONTINUE);
    settings.log_verdicts = false;
    for (const std::string& line : {
             "verdict <known@example.test> valid (backend 250" + at,
             "verdict <unknown@example.test> unknown (backend 550" + at,
             "verdict <busy@example.test> passed (backend 451" + at,
             std::string("verdict <Known@Example.test> valid (cache)"),
             std::string("verdict <unknown@example.test> unknown (cache)"),
             std::string("verdict <x@elsewhere.test> passed (unrouted)"),
             "verdict <bad?@example.test> passed (address not writable" + at,
             // An IPv6 address in brackets, so that its port stands apart.
             "verdict <x@v6.test> passed (backend unavailable at [::1]:" + std::to_string(v6_port) +
                 ")",
         }) {
        EXPECT_TRUE(logs.contains(LOG_INFO, line)) << line << "\n" << logs.dump();
    }
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
                deferred +=
                    rcpt(conn, "x@example.test") == SMFIS_TEMPFAIL && open_conversations(conn) == 0;
            }
            // _exit: no static destructors in the forked child.
            _exit(deferred == 3 && conn.reply.has_value() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kelvantor::testing
