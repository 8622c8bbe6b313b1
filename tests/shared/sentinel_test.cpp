// What Sentinels send is read strictly; a master that moves takes the
// lookups, the writes and the observers along, a link to the old master
// that fails after the move does not mark the new one down, and a master
// demoted to a replica takes no writes until it is a master again.
#include "shared/sentinel.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cache/verdict_cache.h"
#include "metrics/metrics.h"
#include "shared/redis_server.h"
#include "shared/store_state.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;
using namespace shared_detail;

// The reply hiredis reads from the protocol text.
redis_reply reply_of(std::string_view text) {
    redisReader* reader = redisReaderCreate();
    redisReaderFeed(reader, text.data(), text.size());
    void* got = nullptr;
    redisReaderGetReply(reader, &got);
    redisReaderFree(reader);
    return redis_reply(static_cast<redisReply*>(got));
}

std::string bulk(std::string_view s) {
    return "$" + std::to_string(s.size()) + "\r\n" + std::string(s) + "\r\n";
}
std::string message(std::string_view channel, std::string_view payload) {
    return "*3\r\n" + bulk("message") + bulk(channel) + bulk(payload);
}

TEST(sentinel_replies, AreReadStrictly) {
    const auto named = parse_master_address(*reply_of("*2\r\n" + bulk("10.0.0.7") + bulk("6380")));
    ASSERT_TRUE(named);
    EXPECT_EQ(named->host, "10.0.0.7");
    EXPECT_EQ(named->port, 6380);
    EXPECT_FALSE(named->unix_socket);
    for (const std::string& other :
         {std::string("$-1\r\n"), "*1\r\n" + bulk("10.0.0.7"),
          "*3\r\n" + bulk("10.0.0.7") + bulk("6380") + bulk("x"), "*2\r\n" + bulk("") + bulk("1"),
          "*2\r\n" + bulk("10.0.0.7") + bulk("0"), "*2\r\n" + bulk("10.0.0.7") + bulk("65536"),
          "*2\r\n" + bulk("10.0.0.7") + bulk("+80"), "*2\r\n" + bulk("10.0.0.7") + ":6380\r\n",
          "*2\r\n" + bulk("host name") + bulk("6380"), std::string("-IDONTKNOW\r\n")}) {
        EXPECT_FALSE(parse_master_address(*reply_of(other))) << other;
    }

    const auto moved = parse_switch_master(
        *reply_of(message("+switch-master", "kv 10.0.0.7 6380 10.0.0.8 6381")), "kv");
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->host, "10.0.0.8");
    EXPECT_EQ(moved->port, 6381);
    for (const std::string& other :
         {message("+switch-master", "kvx 10.0.0.7 6380 10.0.0.8 6381"),  // another master
          message("+switch-master", "kv 10.0.0.7 6380 10.0.0.8"),
          message("+switch-master", "kv 10.0.0.7 6380 10.0.0.8 6381 extra"),
          message("+switch-master", "kv  10.0.0.7 6380 10.0.0.8 6381"),
          message("+switch-master", "kv 10.0.0.7 6380 10.0.0.8 6381 "),
          message("+switch-master", "kv 10.0.0.7 x 10.0.0.8 6381"),
          message("+switch-master", "kv 10.0.0.7 6380 10.0.0.8 99999"),
          message("+sdown", "kv 10.0.0.7 6380 10.0.0.8 6381"),
          "*3\r\n" + bulk("subscribe") + bulk("+switch-master") + ":1\r\n"}) {
        EXPECT_FALSE(parse_switch_master(*reply_of(other), "kv")) << other;
    }

    EXPECT_TRUE(is_master_role(*reply_of("*3\r\n" + bulk("master") + ":0\r\n*0\r\n")));
    EXPECT_FALSE(is_master_role(*reply_of("*5\r\n" + bulk("slave") + bulk("10.0.0.7") +
                                          ":6380\r\n" + bulk("connected") + ":1\r\n")));
    EXPECT_FALSE(is_master_role(*reply_of("*0\r\n")));
    EXPECT_FALSE(is_master_role(*reply_of(bulk("master"))));
}

std::uint64_t counter(const std::string& name) {
    const std::string text = stats_text();
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos) return ~0ULL;
    return std::stoull(text.substr(at + name.size() + 2));
}

class master_move_test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!redis_server::installed()) GTEST_SKIP() << "no redis-server";
        ASSERT_TRUE(old_master.start());
        ASSERT_TRUE(new_master.start());
        metrics_reset();
        ASSERT_EQ(verdict_cache_init(3600, 600), 0);
    }
    void TearDown() override { shared_store_stop(); }

    bool start_store(std::chrono::milliseconds timeout) {
        shared_store_config config;
        config.host = old_master.socket_path();
        config.unix_socket = true;
        config.prefix = "kv:";
        config.timeout = timeout;
        config.valid_lifetime = 3600s;
        config.invalid_lifetime = 600s;
        return shared_store_start(config) &&
               eventually([] { return counter("shared_cache_up") == 1; });
    }
    redis_endpoint new_endpoint() const { return {new_master.socket_path(), 0, true}; }

    redis_server old_master;
    redis_server new_master;
    log_capture log;
};

TEST_F(master_move_test, LookupsWritesAndObserversFollowTheMaster) {
    ASSERT_TRUE(start_store(200ms));
    ASSERT_FALSE(shared_lookup("a@example.test"));  // leaves an idle link to the old master
    static std::vector<std::string> told;           // the observer outlives the test
    told.clear();
    on_master_change([](const redis_endpoint& where) { told.push_back(where.host); });

    point_at_master(new_endpoint(), true);
    point_at_master(new_endpoint(), true);  // where it is already: nothing
    EXPECT_EQ(told, std::vector<std::string>{new_master.socket_path()});
    EXPECT_EQ(log.count("shared cache master is now " + new_master.socket_path()), 1) << log.dump();

    new_master.run({"SET", "kv:<a@example.test>", "0 1"});
    EXPECT_TRUE(shared_lookup("a@example.test"));
    shared_publish("b@example.test", VERDICT_VALID, wall_now());
    ASSERT_TRUE(eventually([&] {
        return new_master.run({"EXISTS", "kv:<b@example.test>"}) == "1";
    }));
    EXPECT_EQ(old_master.run({"DBSIZE"}), "0");
    EXPECT_EQ(log.count("shared cache unavailable"), 0) << log.dump();
}

TEST_F(master_move_test, TheOldMastersFailureLeavesTheNewOneUp) {
    ASSERT_TRUE(start_store(1500ms));
    ASSERT_FALSE(shared_lookup("a@example.test"));  // the one idle link
    ASSERT_TRUE(old_master.block_for(3.0));
    std::thread lookup([] { shared_lookup("b@example.test"); });
    // The lookup has taken the idle link: it waits on the old master.
    const bool taken = eventually([] {
        const std::lock_guard hold(store().idle_mutex);
        return store().idle.empty();
    });
    point_at_master(new_endpoint(), true);
    lookup.join();
    ASSERT_TRUE(taken);
    EXPECT_EQ(counter("shared_cache_get_timeout"), 1U);
    EXPECT_EQ(log.count("shared cache unavailable"), 0) << log.dump();
    EXPECT_EQ(counter("shared_cache_up"), 1U);
    EXPECT_TRUE(shared_lookup("c@example.test") == std::nullopt);
    EXPECT_EQ(counter("shared_cache_get_miss"), 2U);  // a, then c from the new master
}

// ROLE calls the server counted since its last CONFIG RESETSTAT.
int role_calls(const redis_server& server) {
    const std::string stats = server.run({"INFO", "commandstats"});
    const auto at = stats.find("cmdstat_role:calls=");
    return at == std::string::npos ? 0 : std::stoi(stats.substr(at + 19));
}

TEST_F(master_move_test, ADemotedMasterTakesNoWrites) {
    shared_store_config config;
    config.sentinels = {{"127.0.0.1", 1}};  // nobody there: the test names the master
    config.master_name = "kv";
    config.prefix = "kv:";
    config.timeout = 200ms;
    config.valid_lifetime = 3600s;
    config.invalid_lifetime = 600s;
    ASSERT_TRUE(shared_store_start(config));
    point_at_master(new_endpoint(), true);
    ASSERT_TRUE(eventually([] { return counter("shared_cache_up") == 1; }));
    const int available = log.count("shared cache available");

    new_master.run({"REPLICAOF", "127.0.0.1", "1"});
    shared_publish("b@example.test", VERDICT_VALID, wall_now());
    ASSERT_TRUE(log.wait_for(LOG_NOTICE, "shared cache error: the master is read-only now"))
        << log.dump();
    // The writer probes it again, and ROLE keeps it out while it is a replica.
    new_master.run({"CONFIG", "RESETSTAT"});
    ASSERT_TRUE(eventually([&] { return role_calls(new_master) >= 2; }));
    EXPECT_EQ(log.count("shared cache available"), available) << log.dump();
    EXPECT_EQ(new_master.run({"EXISTS", "kv:<b@example.test>"}), "0");

    new_master.run({"REPLICAOF", "NO", "ONE"});
    ASSERT_TRUE(eventually([&] {
        return new_master.run({"EXISTS", "kv:<b@example.test>"}) == "1";
    }));
    EXPECT_EQ(log.count("shared cache available"), available + 1) << log.dump();
}

}  // namespace
}  // namespace kelvantor::testing
