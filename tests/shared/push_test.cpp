// The fleet's push channel: the message text is read strictly; a pushed
// verdict is adopted with its age unless it expired or a local one stands,
// and a flood stays within the cache's bound; against a real redis-server,
// a quiet subscription is checked with PING and one whose server hangs is
// left, a reply beyond what one message may take ends the subscription even
// when it came with another, a flood is read at a bounded rate, and a new
// prefix moves the subscription.
#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "metrics/metrics.h"
#include "shared/push_message.h"
#include "shared/push_subscriber.h"
#include "shared/redis_server.h"
#include "shared/shared_store.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr std::int64_t now_unix = 1'800'000'000;

// A message of a gateway that is not this process.
std::string pushed(char status, std::int64_t learnt, const std::string& address) {
    std::string id = push_gateway_id();
    id[0] = id[0] == 'a' ? 'b' : 'a';
    return "1 " + id + " " + status + " " + std::to_string(learnt) + " " + address;
}

TEST(push_message, OnlyTheCanonicalTextIsAMessage) {
    const std::string id = "0123456789abcdef";
    const std::string longest(254, 'a');
    EXPECT_TRUE(parse_push("1 " + id + " v 5 " + longest));
    EXPECT_TRUE(parse_push("1 " + id + " purge-invalid"));
    for (const std::string& bad : std::vector<std::string>{
             "2 " + id + " v 5 a@b", "1 " + id.substr(1) + " v 5 a@b", "1 0123456789ABCDEF v 5 a@b",
             "1 " + id + " x 5 a@b", "1 " + id + " v -5 a@b", "1 " + id + " v 05 a@b",
             "1 " + id + " v 1234567890123456789 a@b", "1 " + id + " v 5 " + longest + "a",
             "1 " + id + " v 5 a b", "1 " + id + " v 5 a@b ", "1 " + id + " v 5 <a@b>",
             "1 " + id + " v 5", "1 " + id + " purge-invalid x", "1 " + id + " purge-domain",
             "1 " + id + " purge-address a@b\n", "1 " + id + " i 5 a\0b"s}) {
        EXPECT_FALSE(parse_push(bad)) << '"' << bad << '"';
    }
}

TEST(push_apply, AgeExpiryLocalVerdictsAndTheBound) {
    ASSERT_EQ(verdict_cache_init(3600, 600), 0);
    auto apply = [](const std::string& text) { return apply_push(*parse_push(text), now_unix); };
    EXPECT_EQ(apply(pushed('v', now_unix - 100, "new@x.test")), push_result::applied);
    EXPECT_EQ(verdict_inspect("NEW@x.test")->age, 100);
    EXPECT_EQ(apply(pushed('i', now_unix - 601, "gone@x.test")), push_result::ignored);
    EXPECT_FALSE(verdict_lookup("gone@x.test"));
    // The same verdict again, or a different older one: the local one stands.
    verdict_add("here@x.test", VERDICT_INVALID);
    EXPECT_EQ(apply(pushed('i', now_unix - 5, "here@x.test")), push_result::ignored);
    EXPECT_EQ(apply(pushed('v', now_unix - 5, "here@x.test")), push_result::ignored);
    EXPECT_EQ(verdict_inspect("here@x.test")->age, 0);
    // A newer different verdict replaces an older local one.
    ASSERT_TRUE(verdict_adopt("old@x.test", VERDICT_INVALID, 300));
    EXPECT_EQ(apply(pushed('v', now_unix - 10, "old@x.test")), push_result::applied);
    EXPECT_EQ(verdict_lookup("old@x.test"), VERDICT_VALID);

    verdict_cache_set_bound(100);
    for (int i = 0; i < 5000; ++i) apply(pushed('v', now_unix, "f" + std::to_string(i) + "@x"));
    EXPECT_LE(verdict_cache_statistics().entries, 100U);
    verdict_cache_set_bound(0);
}

TEST(push_channel, OversizedRepliesFloodsAndANewPrefix) {
    redis_server redis;
    if (!redis_server::installed()) GTEST_SKIP() << "no redis-server";
    ASSERT_TRUE(redis.start());
    log_capture log;
    set_clock_source([] { return wall_time(std::chrono::seconds(now_unix)); });
    struct stop_at_end {
        ~stop_at_end() {
            shared_store_stop();
            set_clock_source(nullptr);
        }
    } stopper;
    metrics_reset();
    ASSERT_EQ(verdict_cache_init(3600, 600), 0);
    shared_store_config config;
    config.host = redis.socket_path();
    config.unix_socket = true;
    config.prefix = "kv:";
    config.valid_lifetime = 3600s;
    config.invalid_lifetime = 600s;
    config.push = true;
    ASSERT_TRUE(shared_store_start(config));
    auto subscribed = [&](const std::string& channel) {
        return eventually([&] {
            return redis.run({"PUBSUB", "NUMSUB", channel}) == channel + " 1";
        });
    };
    ASSERT_TRUE(subscribed("kv:<>"));
    // A quiet subscription is checked with PING; the answer is no message.
    const auto pings = [&] {
        const std::string stats = redis.run({"INFO", "commandstats"});
        const auto at = stats.find("cmdstat_ping:calls=");
        return at == std::string::npos ? 0 : std::stoi(stats.substr(at + 19));
    };
    const int writer_pings = pings();
    ASSERT_TRUE(eventually([&] { return pings() > writer_pings; }));
    redis.run({"PUBLISH", "kv:<>", pushed('v', now_unix, "after-ping@x")});
    ASSERT_TRUE(eventually(
        [] { return stats_text().find("\nshared_push_applied 1\n") != std::string::npos; }));
    EXPECT_NE(stats_text().find("\nshared_push_malformed 0\n"), std::string::npos);
    // A server that hangs with the connection open is left, and found again.
    redis.freeze();
    EXPECT_TRUE(
        log.wait_for(LOG_WARNING, "shared cache push: not subscribed: no answer to PING in time"));
    redis.thaw();
    EXPECT_TRUE(log.wait_for(LOG_INFO, "shared cache push: subscribed again to kv:<>"));
    log.clear();
    // Both in one write to the subscriber: the second is beyond what one
    // message may take, counting the bytes that came with the first.
    redis.run({"EVAL",
               "redis.call('PUBLISH', KEYS[1], ARGV[1]); redis.call('PUBLISH', KEYS[1], ARGV[2])",
               "1", "kv:<>", "not a verdict", std::string(5000, 'x')});
    EXPECT_TRUE(log.wait_for(LOG_INFO, "shared cache push: subscribed again to kv:<>"));
    EXPECT_NE(stats_text().find("\nshared_push_malformed 1\n"), std::string::npos);

    // A flood is taken at no more than 1000 messages per 100 ms.
    const auto flooded = std::chrono::steady_clock::now();
    redis.run({"EVAL",
               "for i = 1, 3000 do redis.call('PUBLISH', KEYS[1], ARGV[1] .. i .. '@x') end", "1",
               "kv:<>", pushed('v', now_unix, "flood")});
    ASSERT_TRUE(eventually(
        [] { return stats_text().find("\nshared_push_applied 3001\n") != std::string::npos; }));
    EXPECT_GE(std::chrono::steady_clock::now() - flooded, 200ms);

    config.prefix = "kv:eu:";
    ASSERT_TRUE(shared_store_reconfigure(config));
    EXPECT_TRUE(subscribed("kv:eu:<>"));
    EXPECT_EQ(redis.run({"PUBSUB", "NUMSUB", "kv:<>"}), "kv:<> 0");
    const auto asked = std::chrono::steady_clock::now();
    shared_store_stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1500ms);
}

}  // namespace
}  // namespace kelvantor::testing
