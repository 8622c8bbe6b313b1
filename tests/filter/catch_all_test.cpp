// Catch-all detection: the random RCPT TO before a domain's first probe, what
// its answer marks, and what a marked domain's recipients get.
#include <syslog.h>

#include "backend/catch_all.h"
#include "filter_fixture.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

bool is_random(const std::string& line) {
    return line.rfind("RCPT TO:<kvprobe", 0) == 0 && line.size() >= 16 + 16 + 13;
}

class catch_all_test : public filter_test {
protected:
    void SetUp() override {
        filter_test::SetUp();
        catch_all_reset();
        settings.catch_all_check = true;
    }

    // A backend answering random_reply to the random local part, 250 to others.
    void start_backend(const std::string& random_reply) {
        backend_script script;
        script.rcpt_reply = [random_reply](const std::string& address) -> std::string {
            return address.rfind("kvprobe", 0) == 0 ? random_reply : "250 2.1.5 ok\r\n";
        };
        backend = std::make_unique<test_backend>(std::move(script));
        ASSERT_TRUE(route_add("example.test", backend->port(), backend->address()));
        server = {backend->address(), backend->port()};
    }

    std::vector<std::string> lines(std::size_t n) {
        EXPECT_TRUE(backend->wait_for_lines(n, 5s)) << "backend got fewer than " << n << " lines";
        return backend->lines();
    }

    std::unique_ptr<test_backend> backend;
    backend_server server;
};

TEST_F(catch_all_test, AcceptingDomainPassesUnprobedAndUncached) {
    start_backend("250 2.1.5 ok\r\n");
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE);
    const auto got = lines(3);
    ASSERT_EQ(got.size(), 3U);
    EXPECT_TRUE(is_random(got[2])) << got[2];
    EXPECT_NE(got[2].find("@example.test>"), std::string::npos);
    EXPECT_FALSE(verdict_lookup("someone@example.test").has_value());
    EXPECT_EQ(catch_all_lookup(server, "EXAMPLE.test"), catch_all_state::accepts_any);
    EXPECT_EQ(catch_all_accepting_count(), 1U);

    auto& later = connect_from();
    EXPECT_EQ(rcpt(later, "other@Example.TEST"), SMFIS_CONTINUE);
    EXPECT_EQ(rcpt(later, "someone@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(backend->rcpts(), 1U) << "a marked domain's recipients are not probed";
    EXPECT_FALSE(verdict_lookup("other@example.test").has_value());
    EXPECT_EQ(logs.count("backend accepts any recipient for example.test"), 1);
    EXPECT_TRUE(logs.contains(LOG_WARNING, "backend accepts any recipient for example.test"));
}

TEST_F(catch_all_test, RefusingDomainIsCheckedOnceAndProbedAsUsual) {
    start_backend("550 5.1.1 no such user\r\n");
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE);
    auto got = lines(4);
    ASSERT_EQ(got.size(), 4U);
    EXPECT_TRUE(is_random(got[2])) << got[2];
    EXPECT_EQ(got[3], "RCPT TO:<someone@example.test>");
    EXPECT_EQ(verdict_lookup("someone@example.test"), VERDICT_VALID);
    EXPECT_EQ(catch_all_lookup(server, "example.test"), catch_all_state::checked);

    EXPECT_EQ(rcpt(conn, "other@example.test"), SMFIS_CONTINUE);
    got = lines(5);
    EXPECT_EQ(got.back(), "RCPT TO:<other@example.test>");
    EXPECT_EQ(backend->rcpts(), 3U) << "a checked domain is not sounded again";
    EXPECT_EQ(logs.count("backend accepts any recipient"), 0);
}

TEST_F(catch_all_test, OtherAnswerMarksNothing) {
    start_backend("451 4.3.0 try later\r\n");
    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "someone@example.test"), SMFIS_CONTINUE);
    auto got = lines(4);
    ASSERT_EQ(got.size(), 4U);
    EXPECT_EQ(got[3], "RCPT TO:<someone@example.test>");
    EXPECT_EQ(verdict_lookup("someone@example.test"), VERDICT_VALID);
    EXPECT_EQ(catch_all_lookup(server, "example.test"), catch_all_state::unknown);
    EXPECT_EQ(rcpt(conn, "other@example.test"), SMFIS_CONTINUE);
    got = lines(6);
    ASSERT_EQ(got.size(), 6U);
    EXPECT_TRUE(is_random(got[4])) << "unmarked: sounded again";
}

TEST(catch_all_marks, LocalPartsDifferAndTheMapIsBounded) {
    catch_all_reset();
    const std::string a = catch_all_local_part();
    EXPECT_EQ(a.size(), 23U);
    EXPECT_EQ(a.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"), std::string::npos);
    EXPECT_NE(a, catch_all_local_part());

    const backend_server server{};
    EXPECT_TRUE(catch_all_mark(server, "first.test", catch_all_state::accepts_any, 1h));
    EXPECT_FALSE(catch_all_mark(server, "FIRST.test", catch_all_state::accepts_any, 1h))
        << "marked already: no second warning";
    catch_all_mark(server, "gone.test", catch_all_state::accepts_any, -1s);
    EXPECT_EQ(catch_all_lookup(server, "gone.test"), catch_all_state::unknown);
    for (std::size_t i = 0; i < catch_all_max_entries; ++i) {
        catch_all_mark(server, "d" + std::to_string(i) + ".test", catch_all_state::checked, 2h);
    }
    EXPECT_EQ(catch_all_report().size(), catch_all_max_entries);
    EXPECT_EQ(catch_all_lookup(server, "first.test"), catch_all_state::unknown)
        << "the mark that ends first went";
    catch_all_reset();
}

}  // namespace
}  // namespace kelvantor::testing
