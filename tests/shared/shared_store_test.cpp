// The shared verdict store against a real redis-server: verdicts go out
// through the writer and come back with their age; the first verdict for an
// address stays; wrong types and foreign values are misses; a store that is
// killed, slow or restarted is turned away within the timeout and comes back
// (logged once each way); verdicts learnt while it is down are written when
// it is back; purges reach the store and the queue, also a batch in flight;
// a full queue drops and counts; a reload moves lookups and writes to
// another server and prefix.
#include "shared/shared_store.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "metrics/metrics.h"
#include "shared/redis_server.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

// The wall clock the store reads: a fixed moment the tests move.
std::atomic<std::int64_t> wall_seconds{1'800'000'000};
wall_time fixed_wall() {
    return wall_time(std::chrono::seconds(wall_seconds.load()));
}

// A counter of the stats lines, e.g. "shared_cache_set_ok".
std::uint64_t counter(const std::string& name) {
    const std::string text = stats_text();
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) return ~0ULL;
    return std::stoull(text.substr(at + name.size() + 2));
}

TEST(shared_value, KeysAndTheStoredForm) {
    EXPECT_EQ(shared_key("kv:", "Joe.Doe@Example.TEST"), "kv:<joe.doe@example.test>");
    EXPECT_FALSE(shared_key("kv:", "a<b@example.test"));
    EXPECT_FALSE(shared_key("kv:", "a>b@example.test"));
    EXPECT_EQ(shared_key_address("kv:", "kv:<joe@example.test>"), "joe@example.test");
    // Keys of other prefixes, also ones that begin with "kv:", and the earlier
    // form without brackets, are no address of "kv:".
    for (const char* other :
         {"kv:eu:<joe@example.test>", "kv:<eu:<joe@example.test>", "kv:<x<joe@example.test>",
          "kv:joe@example.test", "kv:<>>", "kv:<", "kw:<joe@example.test>"}) {
        EXPECT_FALSE(shared_key_address("kv:", other)) << other;
    }
    EXPECT_EQ(shared_value(1, 1'800'000'123), "1 1800000123");
    const auto back = parse_shared_value("0 1800000123");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->status, 0U);
    EXPECT_EQ(back->learnt_unix, 1'800'000'123);
    for (const char* foreign : {"", "0", "0 ", "2 100", "01 100", "0 -5", "0 12x", " 0 1", "0  1",
                                "0 1234567890123456789", "valid 100"}) {
        EXPECT_FALSE(parse_shared_value(foreign)) << '"' << foreign << '"';
    }
}

class shared_store_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!redis_server::installed()) GTEST_SKIP() << "no redis-server";
        ASSERT_TRUE(redis.start());
        metrics_reset();
        wall_seconds = 1'800'000'000;
        set_clock_source(fixed_wall);
        ASSERT_EQ(verdict_cache_init(3600, 600), 0);
    }
    void TearDown() override {
        shared_store_stop();
        set_clock_source(nullptr);
    }

    bool start_store(std::chrono::milliseconds timeout = 50ms, std::size_t queue_limit = 65536,
                     std::optional<std::string> password = std::nullopt) {
        return shared_store_start(config(timeout, queue_limit, std::move(password))) &&
               eventually([] { return counter("shared_cache_up") == 1; });
    }
    shared_store_config config(std::chrono::milliseconds timeout = 50ms,
                               std::size_t queue_limit = 65536,
                               std::optional<std::string> password = std::nullopt) {
        shared_store_config config;
        config.host = redis.socket_path();
        config.unix_socket = true;
        config.prefix = "kv:";
        config.timeout = timeout;
        config.password = std::move(password);
        config.valid_lifetime = 3600s;
        config.invalid_lifetime = 600s;
        config.queue_limit = queue_limit;
        return config;
    }
    // A store the filter reaches only once reachable() is called: a link to
    // the server's socket made then.
    bool start_unreachable(std::size_t queue_limit = 65536) {
        shared_store_config unreachable = config(50ms, queue_limit);
        unreachable.host = redis.socket_path() + ".later";
        return shared_store_start(unreachable) &&
               log.wait_for(LOG_WARNING, "shared cache unavailable");
    }
    bool reachable() {
        return symlink(redis.socket_path().c_str(), (redis.socket_path() + ".later").c_str()) == 0;
    }

    redis_server redis;
    log_capture log;  // outlives TearDown, so the writer never logs into a gone capture
};

TEST_F(shared_store_test, VerdictsGoOutAndComeBackWithTheirAge) {
    ASSERT_TRUE(start_store());
    const wall_time now = fixed_wall();
    shared_publish("Valid@Example.test", VERDICT_VALID, now - 100s);
    shared_publish("unknown@example.test", VERDICT_INVALID, now - 10s);
    shared_publish("later@example.test", VERDICT_VALID, now + 30s);  // another host's clock
    shared_publish("other@example.test", 7, now);                    // not a verdict: not shared
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_ok") == 3; }));

    EXPECT_EQ(redis.run({"GET", "kv:<valid@example.test>"}), "0 1799999900");
    // Each key expires with what is left of its class's lifetime.
    EXPECT_GE(std::stoi(redis.run({"TTL", "kv:<valid@example.test>"})), 3499);
    EXPECT_LE(std::stoi(redis.run({"TTL", "kv:<valid@example.test>"})), 3500);
    EXPECT_GE(std::stoi(redis.run({"TTL", "kv:<unknown@example.test>"})), 589);
    EXPECT_LE(std::stoi(redis.run({"TTL", "kv:<unknown@example.test>"})), 590);
    EXPECT_GE(std::stoi(redis.run({"TTL", "kv:<later@example.test>"})), 3599);
    EXPECT_EQ(redis.run({"EXISTS", "kv:<other@example.test>"}), "0");

    const auto valid = shared_lookup("VALID@example.test");
    ASSERT_TRUE(valid);
    EXPECT_EQ(valid->status, VERDICT_VALID);
    EXPECT_EQ(valid->age, 100);
    const auto invalid = shared_lookup("unknown@example.test");
    ASSERT_TRUE(invalid);
    EXPECT_EQ(invalid->status, VERDICT_INVALID);
    EXPECT_EQ(invalid->age, 10);
    EXPECT_EQ(shared_lookup("later@example.test")->age, 0);
    EXPECT_FALSE(shared_lookup("nobody@example.test"));
    EXPECT_EQ(counter("shared_cache_get_ok"), 3U);
    EXPECT_EQ(counter("shared_cache_get_miss"), 1U);
}

TEST_F(shared_store_test, TheFirstVerdictForAnAddressStays) {
    ASSERT_TRUE(start_store());
    shared_publish("joe@example.test", VERDICT_INVALID, fixed_wall() - 5s);
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_ok") == 1; }));
    shared_publish("joe@example.test", VERDICT_VALID, fixed_wall());
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_ok") == 2; }));
    EXPECT_EQ(redis.run({"GET", "kv:<joe@example.test>"}), "1 1799999995");
}

TEST_F(shared_store_test, WrongTypesAndForeignValuesAreCountedMisses) {
    ASSERT_TRUE(start_store());
    redis.run({"RPUSH", "kv:<list@example.test>", "a"});
    redis.run({"SET", "kv:<junk@example.test>", "valid forever"});
    redis.run({"SET", "kv:<good@example.test>", "0 1799999990"});
    EXPECT_FALSE(shared_lookup("list@example.test"));
    EXPECT_FALSE(shared_lookup("junk@example.test"));
    EXPECT_EQ(counter("shared_cache_get_error"), 2U);
    // A refusal leaves the link in step: the store stays up and answers.
    EXPECT_EQ(counter("shared_cache_up"), 1U);
    ASSERT_TRUE(shared_lookup("good@example.test"));
    EXPECT_EQ(shared_lookup("good@example.test")->age, 10);
}

TEST_F(shared_store_test, KilledSlowAndRestartedStoresAreTurnedAwayInTime) {
    ASSERT_TRUE(start_store());
    ASSERT_TRUE(shared_lookup("a@example.test") == std::nullopt);  // opens an idle link

    redis.kill();
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(shared_lookup("x" + std::to_string(i) + "@example.test"));
        shared_publish("y" + std::to_string(i) + "@example.test", VERDICT_VALID, fixed_wall());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_EQ(counter("shared_cache_up"), 0U);
    EXPECT_EQ(counter("shared_cache_get_error"), 20U);
    EXPECT_EQ(log.count("shared cache unavailable"), 1) << log.dump();

    ASSERT_TRUE(redis.start());
    ASSERT_TRUE(eventually([] { return counter("shared_cache_up") == 1; }));
    // Once at start, once now.
    EXPECT_EQ(log.count("shared cache available"), 2) << log.dump();
    EXPECT_EQ(log.count("shared cache unavailable"), 1) << log.dump();
    shared_publish("back@example.test", VERDICT_VALID, fixed_wall());
    ASSERT_TRUE(eventually([this] {
        return redis.run({"EXISTS", "kv:<back@example.test>"}) == "1";
    }));

    // A store that does not answer in time: the lookup ends at the timeout.
    ASSERT_TRUE(redis.block_for(1.0));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(shared_lookup("back@example.test"));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
    EXPECT_EQ(counter("shared_cache_get_timeout"), 1U);
    EXPECT_EQ(log.count("shared cache unavailable"), 2) << log.dump();
    ASSERT_TRUE(eventually([] { return counter("shared_cache_up") == 1; }));
    EXPECT_TRUE(shared_lookup("back@example.test"));
}

TEST_F(shared_store_test, PurgesReachTheStore) {
    ASSERT_TRUE(start_store());
    // 2500 verdicts (more than one SCAN batch): every fifth invalid, on two domains.
    for (int i = 0; i < 2500; ++i) {
        const std::string address =
            "u" + std::to_string(i) + (i % 2 == 0 ? "@a.example" : "@b.example");
        redis.run({"SET", "kv:<" + address + ">", i % 5 == 0 ? "1 1799999999" : "0 1799999999"});
    }
    redis.run({"RPUSH", "kv:<list@a.example>", "x"});
    redis.run({"SET", "other:<u0@a.example>", "1 1799999999"});
    // Invalid verdicts of fleets whose prefixes begin with ours, and one of
    // the earlier key form: no purge here touches them.
    const std::vector<std::string> spared{"kv:eu:<u0@a.example>", "kv:eu:<u1@b.example>",
                                          "kv:<eu:<u3@b.example>", "kv:<x<u5@b.example>",
                                          "kv:u7@b.example"};
    for (const std::string& key : spared) redis.run({"SET", key, "1 1799999999"});

    const shared_purge_result one = shared_purge("U1@B.example");
    EXPECT_TRUE(one.reached);
    EXPECT_EQ(one.removed, 1U);
    EXPECT_EQ(shared_purge("u1@b.example").removed, 0U);

    const shared_purge_result invalid = shared_purge_if(
        [](std::uint32_t status, std::string_view) { return status == VERDICT_INVALID; });
    EXPECT_TRUE(invalid.reached);
    EXPECT_EQ(invalid.removed, 500U);
    const shared_purge_result domain = shared_purge_if(
        [](std::uint32_t, std::string_view address) { return address.ends_with("@b.example"); });
    EXPECT_TRUE(domain.reached);
    EXPECT_EQ(domain.removed, 1250U - 250U - 1U);  // less the invalid ones and u1
    // Left: the valid verdicts of a.example, the list, the other prefixes' keys.
    EXPECT_EQ(redis.run({"DBSIZE"}), std::to_string(1250 - 250 + 2 + spared.size()));
    EXPECT_EQ(redis.run({"EXISTS", "other:<u0@a.example>"}), "1");
    for (const std::string& key : spared) EXPECT_EQ(redis.run({"EXISTS", key}), "1") << key;

    redis.kill();
    EXPECT_FALSE(shared_purge("u2@a.example").reached);
    EXPECT_FALSE(shared_purge_if([](std::uint32_t, std::string_view) { return true; }).reached);
}

TEST_F(shared_store_test, AFullQueueDropsAndCounts) {
    // A long timeout, so that the writer waits out the sleep with its first batch.
    ASSERT_TRUE(start_store(3000ms, 4));
    ASSERT_TRUE(redis.block_for(1.0));
    for (int i = 0; i < 20; ++i) {
        shared_publish("q" + std::to_string(i) + "@example.test", VERDICT_VALID, fixed_wall());
    }
    ASSERT_TRUE(eventually(
        [] { return counter("shared_cache_set_ok") + counter("shared_cache_set_dropped") == 20; }));
    // The writer holds one batch at most (4) and the queue 4 more.
    EXPECT_GE(counter("shared_cache_set_dropped"), 12U);
    EXPECT_EQ(redis.run({"DBSIZE"}), std::to_string(counter("shared_cache_set_ok")));
}

TEST_F(shared_store_test, VerdictsLearntWhileTheStoreIsDownAreWrittenWhenItIsBack) {
    ASSERT_TRUE(start_unreachable());
    const wall_time learnt = fixed_wall();
    shared_publish("ran-out@example.test", VERDICT_INVALID, learnt - 595s);  // 600 s lifetime
    shared_publish("purged@example.test", VERDICT_VALID, learnt);
    shared_publish("newer@example.test", VERDICT_VALID, learnt);
    for (int i = 0; i < 1000; ++i) {
        shared_publish("b" + std::to_string(i) + "@example.test", VERDICT_VALID, learnt);
    }
    // Another gateway learns a newer verdict meanwhile; one is purged here.
    redis.run({"SET", "kv:<newer@example.test>", "1 1800000005"});
    EXPECT_FALSE(shared_purge("purged@example.test").reached);
    wall_seconds += 10;
    ASSERT_TRUE(reachable());

    ASSERT_TRUE(eventually([] {
        return counter("shared_cache_set_ok") == 1001 && counter("shared_cache_set_dropped") == 1;
    })) << counter("shared_cache_set_ok")
        << " " << counter("shared_cache_set_dropped");
    EXPECT_EQ(redis.run({"DBSIZE"}), "1001");
    EXPECT_EQ(redis.run({"GET", "kv:<b999@example.test>"}), "0 1800000000");
    EXPECT_EQ(redis.run({"GET", "kv:<newer@example.test>"}), "1 1800000005");
    EXPECT_EQ(redis.run({"EXISTS", "kv:<ran-out@example.test>", "kv:<purged@example.test>"}), "0");
    // The ten seconds of waiting count against the expiry.
    EXPECT_GE(std::stoi(redis.run({"TTL", "kv:<b0@example.test>"})), 3589);
    EXPECT_LE(std::stoi(redis.run({"TTL", "kv:<b0@example.test>"})), 3590);
    EXPECT_EQ(counter("shared_cache_set_error"), 0U);
}

TEST_F(shared_store_test, ABatchThatGotNoAnswerIsSentAgain) {
    ASSERT_TRUE(start_store());
    ASSERT_TRUE(redis.block_for(5.0));
    shared_publish("again@example.test", VERDICT_VALID, fixed_wall());
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_timeout") == 1; }));
    redis.kill();  // the SET it holds unread is lost with it
    ASSERT_TRUE(redis.start());
    EXPECT_TRUE(eventually([this] {
        return redis.run({"EXISTS", "kv:<again@example.test>"}) == "1";
    }));
}

// A purge while the writer waits for a batch's answer: the batch fails
// (its link killed) and goes back to the queue, and the purge must still
// remove it there, or the purged verdict comes back into the store.
TEST_F(shared_store_test, APurgeForgetsTheBatchInFlight) {
    ASSERT_TRUE(start_store(5000ms));
    redis.run({"CLIENT", "PAUSE", "20000", "WRITE"});
    shared_publish("purged@example.test", VERDICT_VALID, fixed_wall());
    std::string writer;
    ASSERT_TRUE(eventually([&] {
        const std::string clients = redis.run({"CLIENT", "LIST"});
        const auto at = clients.find("flags=b");
        if (at == std::string::npos || clients.find("cmd=set", at) == std::string::npos) {
            return false;
        }
        const auto id = clients.rfind("id=", at);
        writer = clients.substr(id + 3, clients.find(' ', id) - id - 3);
        return true;
    }));
    std::thread purge([] { shared_purge("purged@example.test"); });
    // A purge that did not wait for the batch is held by the pause by now.
    const bool purge_waited = !eventually(
        [this] {
            return redis.run({"INFO", "clients"}).find("blocked_clients:2") != std::string::npos;
        },
        1s);
    redis.run({"CLIENT", "KILL", "ID", writer});
    redis.run({"CLIENT", "UNPAUSE"});
    purge.join();
    shared_publish("later@example.test", VERDICT_VALID, fixed_wall());
    ASSERT_TRUE(eventually([this] {
        return redis.run({"EXISTS", "kv:<later@example.test>"}) == "1";
    }));
    EXPECT_TRUE(purge_waited);
    EXPECT_EQ(redis.run({"EXISTS", "kv:<purged@example.test>"}), "0");
}

TEST_F(shared_store_test, AFullBacklogDropsTheOldest) {
    ASSERT_TRUE(start_unreachable(8));
    for (int i = 0; i < 20; ++i) {
        shared_publish("d" + std::to_string(i) + "@example.test", VERDICT_VALID, fixed_wall());
    }
    EXPECT_EQ(counter("shared_cache_set_dropped"), 12U);
    ASSERT_TRUE(reachable());
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_ok") == 8; }));
    EXPECT_EQ(redis.run({"EXISTS", "kv:<d11@example.test>", "kv:<d12@example.test>",
                         "kv:<d19@example.test>"}),
              "2");
}

TEST_F(shared_store_test, APasswordIsSentAndAWrongOneKeepsTheStoreDown) {
    redis_server guarded({"--requirepass", "s3cret"});
    ASSERT_TRUE(guarded.start());
    shared_store_config config;
    config.host = guarded.socket_path();
    config.unix_socket = true;
    config.password = "wrong";
    config.valid_lifetime = 60s;
    config.invalid_lifetime = 60s;
    ASSERT_TRUE(shared_store_start(config));
    ASSERT_TRUE(log.wait_for(LOG_WARNING, "shared cache unavailable"));
    EXPECT_FALSE(shared_lookup("a@example.test"));
    shared_store_stop();

    config.password = "s3cret";
    ASSERT_TRUE(shared_store_start(config));
    ASSERT_TRUE(eventually([] { return counter("shared_cache_up") == 1; }));
    shared_publish("a@example.test", VERDICT_VALID, fixed_wall());
    EXPECT_TRUE(eventually([] { return shared_lookup("a@example.test").has_value(); }));
}

TEST_F(shared_store_test, AReloadMovesLookupsAndWritesToTheNewServerAndPrefix) {
    redis_server second;
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(start_store());
    shared_publish("before@example.test", VERDICT_VALID, fixed_wall());
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_ok") == 1; }));
    ASSERT_TRUE(shared_lookup("before@example.test"));  // leaves an idle link to the first

    shared_store_config moved = config();
    moved.host = second.socket_path();
    moved.prefix = "eu:";
    moved.valid_lifetime = 100s;
    ASSERT_TRUE(shared_store_reconfigure(moved));
    EXPECT_EQ(log.count("shared cache settings reloaded"), 1);
    // The idle link of the first server is not reused.
    second.run({"SET", "eu:<before@example.test>", "1 1800000000"});
    const auto found = shared_lookup("before@example.test");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->status, VERDICT_INVALID);
    shared_publish("after@example.test", VERDICT_VALID, fixed_wall());
    ASSERT_TRUE(eventually([] { return counter("shared_cache_set_ok") == 2; })) << log.dump();
    EXPECT_EQ(second.run({"GET", "eu:<after@example.test>"}), "0 1800000000");
    EXPECT_LE(std::stoi(second.run({"TTL", "eu:<after@example.test>"})), 100);
    EXPECT_EQ(redis.run({"EXISTS", "eu:<after@example.test>"}), "0");
    EXPECT_EQ(redis.run({"EXISTS", "kv:<after@example.test>"}), "0");
    ASSERT_TRUE(shared_lookup("after@example.test"));

    // The same settings again change nothing and are not logged.
    ASSERT_TRUE(shared_store_reconfigure(moved));
    EXPECT_EQ(log.count("shared cache settings reloaded"), 1);
}

// Lookups and publishes on several threads while the settings go back and
// forth between two servers: each operation works on one whole configuration
// (ThreadSanitizer runs this too).
TEST_F(shared_store_test, ReloadsUnderRunningLookupsAreNoRace) {
    redis_server second;
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(start_store());
    shared_store_config other = config();
    other.host = second.socket_path();
    other.prefix = "eu:";
    std::atomic<bool> done{false};
    std::vector<std::thread> mail;
    for (int t = 0; t < 3; ++t) {
        mail.emplace_back([&, t] {
            for (int i = 0; i < 20000 && !done.load(); ++i) {
                const std::string address = "u" + std::to_string(t * 100 + i % 100) + "@a.test";
                shared_lookup(address);
                shared_publish(address, VERDICT_INVALID, fixed_wall());
            }
        });
    }
    for (int round = 0; round < 40; ++round) {
        ASSERT_TRUE(shared_store_reconfigure(round % 2 == 0 ? other : config()));
        std::this_thread::yield();
    }
    done = true;
    for (std::thread& thread : mail) thread.join();
    EXPECT_EQ(log.count("shared cache settings reloaded"), 40);
    // Back on the first server: what is published now lands there.
    shared_publish("last@a.test", VERDICT_VALID, fixed_wall());
    EXPECT_TRUE(eventually([&] { return redis.run({"EXISTS", "kv:<last@a.test>"}) == "1"; }));
}

}  // namespace
}  // namespace kelvantor::testing
