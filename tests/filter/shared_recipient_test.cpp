// Recipients with a shared verdict store behind the cache (a real
// redis-server): a verdict another filter stored answers without a probe and
// is kept here with its age; one that outlived this filter's lifetime is
// asked of the backend, whose verdict goes to the store; with the store gone
// the backend answers as without one.
#include <syslog.h>

#include <chrono>
#include <functional>
#include <thread>

#include "common/clock.h"
#include "filter_fixture.h"
#include "metrics/metrics.h"
#include "shared/redis_server.h"
#include "shared/shared_store.h"
#include "support/eventually.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

class shared_recipient_test : public filter_test {
protected:
    void SetUp() override {
        if (!redis_server::installed()) GTEST_SKIP() << "no redis-server";
        filter_test::SetUp();
        ASSERT_TRUE(redis.start());
        backend_script script;
        script.rcpt_reply = [](const std::string& address) {
            return address.starts_with("unknown") ? "550 5.1.1 no such user\r\n"
                                                  : "250 2.1.5 ok\r\n";
        };
        backend = std::make_unique<test_backend>(std::move(script));
        ASSERT_TRUE(route_add("example.test", backend->port(), backend->address()));
        shared_store_config config;
        config.host = redis.socket_path();
        config.unix_socket = true;
        config.valid_lifetime = std::chrono::seconds(verdict_lifetime(VERDICT_VALID));
        config.invalid_lifetime = std::chrono::seconds(verdict_lifetime(VERDICT_INVALID));
        ASSERT_TRUE(shared_store_start(config));
        ASSERT_TRUE(
            eventually([] { return stats_text().find("shared_cache_up 1") != std::string::npos; }));
    }
    void TearDown() override {
        filter_test::TearDown();
        shared_store_stop();
    }

    static std::string seconds_ago(std::int64_t seconds) {
        return std::to_string(
            std::chrono::floor<std::chrono::seconds>(wall_now().time_since_epoch()).count() -
            seconds);
    }

    redis_server redis;
    std::unique_ptr<test_backend> backend;
};

TEST_F(shared_recipient_test, TheStoreAnswersBeforeTheBackendAndLearnsFromIt) {
    // Learnt elsewhere: an unknown user 100 s ago, a known one an hour ago,
    // and an unknown one longer ago than this filter keeps invalid verdicts.
    redis.run({"SET", "kelvantor:<unknown-a@example.test>", "1 " + seconds_ago(100)});
    redis.run({"SET", "kelvantor:<b@example.test>", "0 " + seconds_ago(3600)});
    redis.run({"SET", "kelvantor:<unknown-c@example.test>", "1 " + seconds_ago(3001)});

    auto& conn = connect_from();
    EXPECT_EQ(rcpt(conn, "Unknown-A@example.test"), SMFIS_REJECT);
    ASSERT_TRUE(conn.reply.has_value());
    EXPECT_EQ(conn.reply->code, "550");
    EXPECT_EQ(rcpt(conn, "b@example.test"), SMFIS_CONTINUE);
    EXPECT_EQ(backend->connections(), 0) << "the store's verdicts need no backend";
    // Kept here with their age.
    EXPECT_GE(verdict_inspect("unknown-a@example.test")->age, 100);
    EXPECT_LE(verdict_inspect("unknown-a@example.test")->age, 102);

    // Outlived here: the backend is asked, and the store keeps the verdict it had.
    EXPECT_EQ(rcpt(conn, "unknown-c@example.test"), SMFIS_REJECT);
    EXPECT_EQ(backend->connections(), 1);
    // A new address: probed, and its verdict goes to the store.
    EXPECT_EQ(rcpt(conn, "New@example.test"), SMFIS_CONTINUE);
    EXPECT_TRUE(eventually([this] {
        return redis.run({"GET", "kelvantor:<new@example.test>"}) != "(nil)";
    }));
    EXPECT_EQ(redis.run({"GET", "kelvantor:<new@example.test>"}).substr(0, 2), "0 ");
    // Three verdicts came back (one too old to use here), one address was not there.
    EXPECT_NE(stats_text().find("shared_cache_get_ok 3\nshared_cache_get_miss 1\n"),
              std::string::npos)
        << stats_text();
}

TEST_F(shared_recipient_test, WithTheStoreGoneTheBackendAnswersInTime) {
    redis.kill();
    auto& conn = connect_from();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rcpt(conn, "unknown-x@example.test"), SMFIS_REJECT);
    EXPECT_EQ(rcpt(conn, "y@example.test"), SMFIS_CONTINUE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(verdict_lookup("y@example.test"), VERDICT_VALID);
}

}  // namespace
}  // namespace kelvantor::testing
