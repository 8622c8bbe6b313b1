// The connection callbacks: which clients are accepted at connect, and the
// context's life from connect to close with its backend conversation ended
// at the end of the headers, at abort and at close, without waiting for it.
#include <sys/un.h>

#include <future>
#include <thread>

#include "filter_fixture.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using connection_test = filter_test;

struct connect_case {
    const char* name;
    sockaddr_storage client;
    const char* daemon_name;  // nullptr: macro not defined
    sfsistat expected;
};

TEST_F(connection_test, DecidesExemptionAtConnect) {
    ASSERT_TRUE(skip_net_add(inet_addr("10.1.2.3"), 8));  // bits beyond /8 ignored
    sockaddr_storage unix_client{};
    unix_client.ss_family = AF_UNIX;
    const connect_case cases[] = {
        {"ipv6 loopback", ipv6_address("::1"), nullptr, SMFIS_ACCEPT},
        {"default exempt 127.0.0.1", ipv4_address("127.0.0.1"), nullptr, SMFIS_ACCEPT},
        {"other loopback address", ipv4_address("127.0.0.2"), nullptr, SMFIS_CONTINUE},
        {"inside 10/8", ipv4_address("10.200.0.9"), nullptr, SMFIS_ACCEPT},
        {"outside 10/8", ipv4_address("11.0.0.1"), nullptr, SMFIS_CONTINUE},
        {"other ipv6", ipv6_address("2001:db8::1"), nullptr, SMFIS_CONTINUE},
        {"ipv4-mapped not matched", ipv6_address("::ffff:127.0.0.1"), nullptr, SMFIS_CONTINUE},
        {"ipv4-mapped via daemon", ipv6_address("::ffff:127.0.0.1"), "MSA", SMFIS_ACCEPT},
        {"neither family", unix_client, nullptr, SMFIS_ACCEPT},
        {"daemon MSA", ipv4_address("192.0.2.1"), "MSA", SMFIS_ACCEPT},
        {"daemon name case ignored", ipv4_address("192.0.2.1"), "msa", SMFIS_ACCEPT},
        {"other daemon", ipv4_address("192.0.2.1"), "mx-in", SMFIS_CONTINUE},
        {"exempt network whatever daemon", ipv4_address("10.0.0.1"), "mx-in", SMFIS_ACCEPT},
    };
    for (const auto& c : cases) {
        fake_milter_ctx conn;
        if (c.daemon_name != nullptr) conn.macros["{daemon_name}"] = c.daemon_name;
        sockaddr_storage client = c.client;
        EXPECT_EQ(cb_connect(&conn, nullptr, as_sockaddr(client)), c.expected) << c.name;
        ASSERT_NE(conn.priv, nullptr) << c.name << ": context attached on every path";
        EXPECT_TRUE(context(conn).conversations.empty()) << c.name;
        cb_close(&conn);
        EXPECT_EQ(conn.priv, nullptr) << c.name;
    }
}

TEST_F(connection_test, NoClientAddressIsAcceptedAsNeitherFamily) {
    fake_milter_ctx conn;
    EXPECT_EQ(cb_connect(&conn, nullptr, nullptr), SMFIS_ACCEPT);
    cb_close(&conn);
}

TEST_F(connection_test, ConfiguredDaemonReplacesDefault) {
    exemption_lists_clear();
    ASSERT_TRUE(skip_daemon_add("submission"));
    add_skip_defaults();
    for (const auto& [name, expected] :
         {std::pair{"MSA", SMFIS_CONTINUE}, std::pair{"SUBMISSION", SMFIS_ACCEPT}}) {
        fake_milter_ctx conn;
        conn.macros["{daemon_name}"] = name;
        sockaddr_storage client = ipv4_address("192.0.2.7");
        EXPECT_EQ(cb_connect(&conn, nullptr, as_sockaddr(client)), expected) << name;
        cb_close(&conn);
    }
}

TEST_F(connection_test, RefusedSetprivDefersAndAttachesNothing) {
    fake_milter_ctx conn;
    conn.refuse_setpriv = true;
    sockaddr_storage client = ipv4_address("127.0.0.2");
    EXPECT_EQ(cb_connect(&conn, nullptr, as_sockaddr(client)), SMFIS_TEMPFAIL);
    EXPECT_EQ(conn.priv, nullptr);
    EXPECT_TRUE(logs.contains(LOG_ERR, "cannot setpriv"));
    // Without a context the other callbacks do nothing and answer continue.
    conn.refuse_setpriv = false;
    EXPECT_EQ(cb_envfrom(&conn, nullptr), SMFIS_CONTINUE);
    EXPECT_EQ(cb_eoh(&conn), SMFIS_CONTINUE);
    EXPECT_EQ(cb_abort(&conn), SMFIS_CONTINUE);
    EXPECT_EQ(cb_close(&conn), SMFIS_CONTINUE);
    EXPECT_EQ(conn.priv, nullptr);
}

class backend_teardown_test : public filter_test {
protected:
    void SetUp() override {
        filter_test::SetUp();
        ASSERT_TRUE(route_add("example.test", backend.port(), backend.address()));
    }

    // Opens the connection's backend conversation with one probe.
    fake_milter_ctx& connection_with_backend() {
        auto& conn = connect_from();
        EXPECT_EQ(cb_envfrom(&conn, nullptr), SMFIS_CONTINUE);
        // A new address each time: a cached one would need no backend.
        const std::string address = "user" + std::to_string(++probes) + "@example.test";
        EXPECT_EQ(rcpt(conn, address), SMFIS_CONTINUE);
        EXPECT_TRUE(has_open_conversation(conn));
        return conn;
    }

    static bool has_open_conversation(fake_milter_ctx& conn) {
        const auto& all = context(conn).conversations;
        return std::any_of(all.begin(), all.end(), [](const auto& c) { return c.is_open(); });
    }

    std::size_t lines_named(const std::string& line) {
        const auto all = backend.lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }

    test_backend backend;
    int probes = 0;
};

TEST_F(backend_teardown_test, EndOfHeadersEndsConversationALaterOneFindsNone) {
    auto& conn = connection_with_backend();
    EXPECT_EQ(cb_eoh(&conn), SMFIS_CONTINUE);
    EXPECT_FALSE(has_open_conversation(conn));
    EXPECT_EQ(cb_eoh(&conn), SMFIS_CONTINUE);
    ASSERT_TRUE(backend.wait_for_lines(5, std::chrono::seconds(5)));
    EXPECT_EQ(backend.lines(), (std::vector<std::string>{
                                   "HELO gw.test", "MAIL FROM:<postmaster+backscatter@gw.test>",
                                   "RCPT TO:<user1@example.test>", "RSET", "QUIT"}));
}

TEST_F(backend_teardown_test, AbortAndCloseEndConversation) {
    auto& aborted = connection_with_backend();
    EXPECT_EQ(cb_abort(&aborted), SMFIS_CONTINUE);
    EXPECT_FALSE(has_open_conversation(aborted));

    auto& closed = connection_with_backend();
    EXPECT_EQ(cb_close(&closed), SMFIS_CONTINUE);
    EXPECT_EQ(closed.priv, nullptr);
    ASSERT_TRUE(backend.wait_for_lines(10, std::chrono::seconds(5)));
    EXPECT_EQ(lines_named("RSET"), 2U);
    EXPECT_EQ(lines_named("QUIT"), 2U);
}

TEST_F(backend_teardown_test, MessageWithoutHeadersKeepsConversationForNextMessage) {
    auto& conn = connection_with_backend();
    EXPECT_EQ(cb_envfrom(&conn, nullptr), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(conn, "second@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(backend.connections(), 1);
    EXPECT_EQ(lines_named("HELO gw.test"), 1U);
}

TEST_F(backend_teardown_test, EnvfromKeepsTheConversation) {
    auto& conn = connection_with_backend();
    const int fd = context(conn).conversations.at(0).fd();
    cb_envfrom(&conn, nullptr);
    ASSERT_TRUE(has_open_conversation(conn));
    EXPECT_EQ(context(conn).conversations.at(0).fd(), fd);
}

// On the fast path DATA ends the conversation and accepts the message; the
// negotiation asks only for what the MTA offers to skip.
TEST_F(backend_teardown_test, FastPathEndsAtDataAndNegotiatesWithinTheOffer) {
    auto& normal = connection_with_backend();
    EXPECT_EQ(cb_data(&normal), SMFIS_CONTINUE);
    EXPECT_TRUE(has_open_conversation(normal)) << "without the fast path DATA ends nothing";

    settings.milter_fast_path = true;
    auto& fast = connection_with_backend();
    EXPECT_EQ(cb_data(&fast), SMFIS_ACCEPT);
    EXPECT_FALSE(has_open_conversation(fast));
    settings.milter_fast_path = false;

    unsigned long actions = 0, protocol = 0, f2 = 0, f3 = 0;
    const unsigned long everything = 0x1FFFFF;
    EXPECT_EQ(cb_negotiate(nullptr, 0x1FF, everything, 0, 0, &actions, &protocol, &f2, &f3),
              SMFIS_CONTINUE);
    EXPECT_EQ(actions, static_cast<unsigned long>(SMFIF_ADDHDRS));
    EXPECT_EQ(protocol, static_cast<unsigned long>(SMFIP_NOHELO | SMFIP_NOMAIL | SMFIP_NOHDRS |
                                                   SMFIP_NOEOH | SMFIP_NOBODY | SMFIP_NOUNKNOWN));
    // An MTA that knows no DATA stage keeps sending end of headers, which then
    // ends the conversation; one that cannot skip MAIL still sends it.
    const unsigned long older = SMFIP_NOHELO | SMFIP_NOHDRS | SMFIP_NOEOH | SMFIP_NOBODY;
    EXPECT_EQ(cb_negotiate(nullptr, SMFIF_ADDHDRS, older, 0, 0, &actions, &protocol, &f2, &f3),
              SMFIS_CONTINUE);
    EXPECT_EQ(protocol, static_cast<unsigned long>(SMFIP_NOHELO | SMFIP_NOHDRS | SMFIP_NOBODY));
}

// A backend that answers the greeting and the probes but never RSET: the
// end of the headers, the abort and the close still return at once, and
// RSET and QUIT go out behind them.
TEST_F(connection_test, TeardownCallbacksReturnAtOnceWhenRsetIsNeverAnswered) {
    backend_script script;
    script.rset_reply.clear();
    auto backend = std::make_unique<test_backend>(script);
    ASSERT_TRUE(route_add("example.test", backend->port(), backend->address()));
    settings.reply_timeout = 1;  // the closer's wait for each reply
    std::vector<fake_milter_ctx*> conns;
    for (int i = 0; i < 3; ++i) {
        auto& conn = connect_from();
        EXPECT_EQ(rcpt(conn, "user" + std::to_string(i) + "@example.test"), SMFIS_CONTINUE);
        conns.push_back(&conn);
    }
    std::promise<void> returned;
    std::thread callbacks([&] {
        cb_eoh(conns[0]);
        cb_abort(conns[1]);
        cb_close(conns[2]);
        returned.set_value();
    });
    const bool at_once =
        returned.get_future().wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    EXPECT_TRUE(at_once) << "a callback waited for the backend's RSET reply";
    if (at_once) {
        ASSERT_TRUE(backend->wait_for_lines(15, std::chrono::seconds(10)));
        for (const char* verb : {"RSET", "QUIT"}) {
            const auto lines = backend->lines();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), verb), 3) << verb;
        }
    }
    backend.reset();  // also frees a callback stuck on the backend
    callbacks.join();
}

}  // namespace
}  // namespace kelvantor::testing
