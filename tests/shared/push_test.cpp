// The fleet's push channel: the message text is read strictly; a pushed
// verdict is adopted with its age unless it expired or a local one stands,
// purges remove, a flood stays within the cache's bound; against a real
// redis-server, the subscriber applies other filters' messages, drops its
// own (which the writer publishes with each SET), counts malformed ones,
// and subscribes again after the server restarts or the prefix changes.
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
#include "routing/routes.h"
#include "shared/push_message.h"
#include "shared/push_subscriber.h"
#include "shared/redis_server.h"
#include "shared/shared_store.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t now_unix = 1'800'000'000;

// A gateway id that is not this process's.
std::string other_gateway() {
    std::string id = push_gateway_id();
    id[0] = id[0] == 'a' ? 'b' : 'a';
    return id;
}

std::string verdict_text(char status, std::int64_t learnt, const std::string& address,
                         const std::string& gateway = other_gateway()) {
    return "1 " + gateway + " " + status + " " + std::to_string(learnt) + " " + address;
}

bool eventually(const std::function<bool()>& holds, std::chrono::milliseconds bound = 5s) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::uint64_t counter(const std::string& name) {
    const std::string text = stats_text();
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) return ~0ULL;
    return std::stoull(text.substr(at + name.size() + 2));
}

TEST(push_message, ReadsOnlyWellFormedMessages) {
    const std::string id = "0123456789abcdef";
    for (const push_message& m : {push_message{id, push_kind::valid, 1'800'000'000, "a@b.test"},
                                  push_message{id, push_kind::invalid, 0, "a@b.test"},
                                  push_message{id, push_kind::purge_address, 0, "x@y"},
                                  push_message{id, push_kind::purge_domain, 0, "b.test"},
                                  push_message{id, push_kind::purge_subdomains, 0, "b.test"},
                                  push_message{id, push_kind::purge_invalid, 0, ""}}) {
        const std::string text = format_push(m);
        const auto back = parse_push(text);
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(back->gateway, id);
        EXPECT_EQ(back->kind, m.kind);
        EXPECT_EQ(back->learnt_unix, m.learnt_unix);
        EXPECT_EQ(back->subject, m.subject);
    }
    const std::string longest(254, 'a');
    EXPECT_TRUE(parse_push("1 " + id + " v 5 " + longest));
    using namespace std::string_literals;
    for (const std::string& bad : std::vector<std::string>{
             "2 " + id + " v 5 a@b", "1 " + id.substr(1) + " v 5 a@b",
             "1 0123456789ABCDEF v 5 a@b"s, "1 " + id + " x 5 a@b", "1 " + id + " v -5 a@b",
             "1 " + id + " v 05 a@b", "1 " + id + " v 1234567890123456789 a@b",
             "1 " + id + " v 5 " + longest + "a", "1 " + id + " v 5 a b", "1 " + id + " v 5 a@b ",
             "1 " + id + " v 5 a\tb", "1 " + id + " v 5 <a@b>", "1 " + id + " v 5",
             "1 " + id + " v  5 a@b", "1 " + id + " purge-invalid x", "1 " + id + " purge-domain",
             "1 " + id + " purge-address a@b\n", "1 " + id + " i 5 a\0b"s}) {
        EXPECT_FALSE(parse_push(bad)) << '"' << bad << '"';
    }
}

class push_apply_test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(verdict_cache_init(3600, 600), 0); }
    push_result apply(const std::string& text) { return apply_push(*parse_push(text), now_unix); }
};

TEST_F(push_apply_test, VerdictsComeWithTheirAgeUnlessALocalOneStands) {
    EXPECT_EQ(apply(verdict_text('v', now_unix - 100, "new@x.test")), push_result::applied);
    EXPECT_EQ(verdict_inspect("NEW@x.test")->age, 100);
    EXPECT_EQ(apply(verdict_text('i', now_unix - 601, "gone@x.test")), push_result::ignored);
    EXPECT_FALSE(verdict_lookup("gone@x.test"));
    EXPECT_EQ(apply(verdict_text('v', now_unix, "mine@x.test", push_gateway_id())),
              push_result::own);
    EXPECT_FALSE(verdict_lookup("mine@x.test"));

    // The same verdict again, or a different older one: the local one stands.
    verdict_add("here@x.test", VERDICT_INVALID);
    EXPECT_EQ(apply(verdict_text('i', now_unix - 5, "here@x.test")), push_result::ignored);
    EXPECT_EQ(apply(verdict_text('v', now_unix - 5, "here@x.test")), push_result::ignored);
    EXPECT_EQ(verdict_inspect("here@x.test")->status, VERDICT_INVALID);
    EXPECT_EQ(verdict_inspect("here@x.test")->age, 0);
    // A newer different verdict replaces an older local one.
    ASSERT_TRUE(verdict_adopt("old@x.test", VERDICT_INVALID, 300));
    EXPECT_EQ(apply(verdict_text('v', now_unix - 10, "old@x.test")), push_result::applied);
    EXPECT_EQ(verdict_lookup("old@x.test"), VERDICT_VALID);
    EXPECT_EQ(verdict_inspect("old@x.test")->age, 10);
}

TEST_F(push_apply_test, PurgesRemoveAndAFloodStaysWithinTheBound) {
    for (const char* address : {"a@d.test", "b@sub.d.test", "c@e.test", "u@e.test"}) {
        verdict_add(address, VERDICT_VALID);
    }
    verdict_add("bad@e.test", VERDICT_INVALID);
    const std::string g = other_gateway();
    EXPECT_EQ(apply("1 " + g + " purge-address C@E.test"), push_result::applied);
    EXPECT_FALSE(verdict_lookup("c@e.test"));
    EXPECT_EQ(apply("1 " + g + " purge-domain d.test"), push_result::applied);
    EXPECT_FALSE(verdict_lookup("a@d.test"));
    EXPECT_TRUE(verdict_lookup("b@sub.d.test"));
    EXPECT_EQ(apply("1 " + g + " purge-subdomains d.test"), push_result::applied);
    EXPECT_FALSE(verdict_lookup("b@sub.d.test"));
    EXPECT_EQ(apply("1 " + g + " purge-invalid"), push_result::applied);
    EXPECT_FALSE(verdict_lookup("bad@e.test"));
    EXPECT_TRUE(verdict_lookup("u@e.test"));

    verdict_cache_set_bound(100);
    for (int i = 0; i < 5000; ++i) {
        apply(verdict_text(i % 2 ? 'v' : 'i', now_unix, "f" + std::to_string(i) + "@x.test"));
    }
    EXPECT_LE(verdict_cache_statistics().entries, 100U);
    verdict_cache_set_bound(0);
}

class push_channel_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!redis_server::installed()) GTEST_SKIP() << "no redis-server";
        ASSERT_TRUE(redis.start());
        metrics_reset();
        set_clock_source([] { return wall_time(std::chrono::seconds(now_unix)); });
        ASSERT_EQ(verdict_cache_init(3600, 600), 0);
        shared_store_config config;
        config.host = redis.socket_path();
        config.unix_socket = true;
        config.prefix = "kv:";
        config.valid_lifetime = 3600s;
        config.invalid_lifetime = 600s;
        config.push = true;
        ASSERT_TRUE(shared_store_start(config));
        ASSERT_TRUE(subscribed("kv:<>"));
    }
    void TearDown() override {
        shared_store_stop();
        set_clock_source(nullptr);
    }
    bool subscribed(const std::string& channel) {
        return eventually([&] {
            return redis.run({"PUBSUB", "NUMSUB", channel}) == channel + " 1";
        });
    }
    void publish(const std::string& text) { redis.run({"PUBLISH", "kv:<>", text}); }

    redis_server redis;
    log_capture log;
};

TEST_F(push_channel_test, OthersAreAppliedOwnDroppedAndMalformedCounted) {
    publish(verdict_text('v', now_unix - 20, "pushed@x.test"));
    ASSERT_TRUE(eventually([] { return verdict_lookup("pushed@x.test").has_value(); }));
    EXPECT_EQ(verdict_inspect("pushed@x.test")->age, 20);
    publish("1 " + other_gateway() + " purge-address pushed@x.test");
    ASSERT_TRUE(eventually([] { return !verdict_lookup("pushed@x.test"); }));
    // Both in one write to the subscriber; the second is beyond what one
    // message may take, also counting the bytes that came with the first:
    // the link is replaced.
    redis.run({"EVAL",
               "redis.call('PUBLISH', KEYS[1], ARGV[1]); redis.call('PUBLISH', KEYS[1], ARGV[2])",
               "1", "kv:<>", "not a verdict", std::string(5000, 'x')});
    ASSERT_TRUE(eventually([] { return counter("shared_push_malformed") == 1; }));
    ASSERT_TRUE(log.wait_for(LOG_INFO, "shared cache push: subscribed again to kv:<>"));

    // The writer tells the channel with each SET; the subscriber knows its own.
    shared_publish("learnt@x.test", VERDICT_VALID, wall_now());
    ASSERT_TRUE(eventually([] { return counter("shared_push_own") == 1; }));
    EXPECT_EQ(counter("shared_push_sent"), 1U);
    EXPECT_EQ(counter("shared_push_applied"), 2U);
    EXPECT_EQ(shared_purge_if([](std::uint32_t, std::string_view) { return false; },
                              purge_notice{push_kind::purge_domain, "x.test"})
                  .reached,
              true);
    ASSERT_TRUE(eventually([] { return counter("shared_push_own") == 2; }));
}

TEST_F(push_channel_test, ItSubscribesAgainAfterARestartAndOnANewPrefix) {
    redis.kill();
    ASSERT_TRUE(redis.start());
    ASSERT_TRUE(subscribed("kv:<>"));
    publish(verdict_text('i', now_unix, "after@x.test"));
    ASSERT_TRUE(eventually([] { return verdict_lookup("after@x.test").has_value(); }));

    shared_store_config moved;
    moved.host = redis.socket_path();
    moved.unix_socket = true;
    moved.prefix = "kv:eu:";
    moved.valid_lifetime = 3600s;
    moved.invalid_lifetime = 600s;
    ASSERT_TRUE(shared_store_reconfigure(moved));
    ASSERT_TRUE(subscribed("kv:eu:<>"));
    EXPECT_EQ(redis.run({"PUBSUB", "NUMSUB", "kv:<>"}), "kv:<> 0");

    const auto asked = std::chrono::steady_clock::now();
    shared_store_stop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1500ms);
}

}  // namespace
}  // namespace kelvantor::testing
