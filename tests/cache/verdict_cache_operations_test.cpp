// The operations side of the verdict cache: the bound on entries (the oldest
// invalid verdicts go first, valid ones only after them; evictions counted;
// the warning at most once a minute), addresses too long to cache, purges of an address
// and by predicate, the chunked walk while entries come and go between
// chunks, the counts of the statistics, and the documented defaults of the
// periodic save and the bound.
#include <syslog.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "cache/cache_file.h"
#include "cache/periodic_save.h"
#include "cache_fixture.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

constexpr std::int64_t t0 = 1000000;

std::string user(int i) {
    return "user" + std::to_string(i) + "@example.org";
}

TEST_F(cache_test, BoundEvictsInvalidFirstAndCountsAndWarnsOncePerMinute) {
    verdict_cache_set_bound(3);
    const log_capture log;
    verdict_add(user(0), VERDICT_VALID);
    verdict_add(user(1), VERDICT_INVALID);
    verdict_add(user(2), VERDICT_INVALID);
    EXPECT_EQ(log.count("verdict cache full: 3 entries, oldest evicted"), 0);
    verdict_add(user(3), VERDICT_VALID);  // evicts user1, the oldest invalid
    verdict_add(user(4), VERDICT_VALID);  // evicts user2
    EXPECT_EQ(
        live_entries(),
        (entry_list{{VERDICT_VALID, user(0)}, {VERDICT_VALID, user(3)}, {VERDICT_VALID, user(4)}}));
    verdict_cache_stats stats = verdict_cache_statistics();
    EXPECT_EQ(stats.entries, 3U);
    EXPECT_EQ(stats.valid, 3U);
    EXPECT_EQ(stats.invalid, 0U);
    EXPECT_EQ(stats.evictions, 2U);
    EXPECT_EQ(log.count("verdict cache full: 3 entries, oldest evicted"), 1);

    // With no invalid verdict left, the oldest valid one makes room.
    set_time(t0 + 59);
    verdict_add(user(5), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup(user(0)), std::nullopt);
    EXPECT_EQ(log.count("verdict cache full: 3 entries, oldest evicted"), 1);
    set_time(t0 + 60);
    verdict_add(user(6), VERDICT_VALID);
    EXPECT_EQ(verdict_lookup(user(5)), std::nullopt);
    EXPECT_TRUE(log.contains(LOG_WARNING, "verdict cache full: 3 entries, oldest evicted"));
    EXPECT_EQ(log.count("verdict cache full: 3 entries, oldest evicted"), 2);
    EXPECT_EQ(verdict_cache_statistics().evictions, 4U);
}

// Anyone who sends mail can make invalid verdicts: a harvest of unknown
// addresses must not push the real users out of a full cache.
TEST_F(cache_test, HarvestFloodLeavesTheValidVerdicts) {
    verdict_cache_set_bound(50);
    for (int i = 0; i < 10; ++i) verdict_add(user(i), VERDICT_VALID);
    for (int i = 10; i < 70; ++i) verdict_add(user(i), VERDICT_INVALID);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(verdict_lookup(user(i)), VERDICT_VALID) << user(i);
    EXPECT_EQ(verdict_lookup(user(29)), std::nullopt);
    EXPECT_EQ(verdict_lookup(user(30)), VERDICT_INVALID);
    const verdict_cache_stats stats = verdict_cache_statistics();
    EXPECT_EQ(stats.valid, 10U);
    EXPECT_EQ(stats.invalid, 40U);
    EXPECT_EQ(stats.evictions, 20U);
}

TEST_F(cache_test, ExpiredEntriesMakeRoomWithoutCountingAsEvictions) {
    start(86400, 10);
    verdict_cache_set_bound(2);
    verdict_add(user(0), VERDICT_INVALID);
    verdict_add(user(1), VERDICT_INVALID);
    set_time(t0 + 11);
    verdict_add(user(2), VERDICT_VALID);
    verdict_add(user(3), VERDICT_VALID);
    EXPECT_EQ(verdict_cache_statistics().evictions, 0U);
    EXPECT_EQ(verdict_cache_statistics().entries, 2U);
}

TEST_F(cache_test, NoBoundByDefault) {
    for (int i = 0; i < 5000; ++i) verdict_add(user(i), VERDICT_VALID);
    EXPECT_EQ(verdict_cache_statistics().entries, 5000U);
    EXPECT_EQ(verdict_cache_statistics().evictions, 0U);
}

TEST_F(cache_test, AddressesOver254CharactersAreNotCached) {
    const std::string domain = "@example.org";
    const std::string longest = std::string(254 - domain.size(), 'a') + domain;
    const std::string too_long = "b" + longest;
    verdict_add(longest, VERDICT_INVALID);
    verdict_add(too_long, VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup(longest), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup(too_long), std::nullopt);
    EXPECT_EQ(verdict_cache_statistics().entries, 1U);
}

TEST_F(cache_test, InspectGivesAgeAndRemainingOfTheDecidingVerdict) {
    verdict_add("Alice@Example.org", VERDICT_INVALID);
    set_time(t0 + 100);
    const auto seen = verdict_inspect("alice@EXAMPLE.org");
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->status, VERDICT_INVALID);
    EXPECT_EQ(seen->age, 100);
    EXPECT_EQ(seen->remaining, 2900);
    set_time(t0 + 3001);
    EXPECT_EQ(verdict_inspect("alice@example.org"), std::nullopt);
}

// A verdict adopted from another filter keeps its age: it expires when it
// would have here, and one already older than this cache's lifetime for its
// class (invalid: the shorter one) is not taken at all.
TEST_F(cache_test, AdoptedVerdictsKeepTheirAgeAndThisCachesLifetimes) {
    EXPECT_TRUE(verdict_adopt("old@example.org", VERDICT_VALID, 86000));
    EXPECT_TRUE(verdict_adopt("edge@example.org", VERDICT_INVALID, 3000));
    EXPECT_FALSE(verdict_adopt("gone@example.org", VERDICT_INVALID, 3001));
    EXPECT_TRUE(verdict_adopt("future@example.org", VERDICT_VALID, -50));
    EXPECT_EQ(verdict_inspect("gone@example.org"), std::nullopt);
    EXPECT_EQ(verdict_inspect("old@example.org")->remaining, 400);
    EXPECT_EQ(verdict_inspect("edge@example.org")->remaining, 0);
    EXPECT_EQ(verdict_inspect("future@example.org")->age, 0);
    // Behind entries that are younger, the adopted one still expires on time.
    verdict_add("young@example.org", VERDICT_VALID);
    set_time(t0 + 401);
    EXPECT_EQ(verdict_lookup("old@example.org"), std::nullopt);
    EXPECT_EQ(verdict_lookup("young@example.org"), VERDICT_VALID);
    EXPECT_EQ(verdict_lookup("future@example.org"), VERDICT_VALID);
    EXPECT_EQ(verdict_lifetime(VERDICT_VALID), 86400);
    EXPECT_EQ(verdict_lifetime(VERDICT_INVALID), 3000);
}

TEST_F(cache_test, PurgeRemovesEveryVerdictOfTheAddressCaseIgnored) {
    verdict_add("bob@example.org", VERDICT_VALID);
    verdict_add("BOB@example.org", VERDICT_INVALID);
    verdict_add("carol@example.org", VERDICT_VALID);
    EXPECT_EQ(verdict_purge("Bob@Example.Org"), 2U);
    EXPECT_EQ(verdict_lookup("bob@example.org"), std::nullopt);
    EXPECT_EQ(verdict_purge("bob@example.org"), 0U);
    EXPECT_EQ(live_entries(), (entry_list{{VERDICT_VALID, "carol@example.org"}}));
    // A purged address is learnt afresh.
    verdict_add("bob@example.org", VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("bob@example.org"), VERDICT_INVALID);
}

// More entries than a chunk holds, so the purge spans several lock holds.
TEST_F(cache_test, PurgeByPredicateSpansChunks) {
    const int n = static_cast<int>(walk_chunk_size) * 2 + 100;
    for (int i = 0; i < n; ++i) verdict_add(user(i), i % 3 == 0 ? VERDICT_INVALID : VERDICT_VALID);
    auto invalid = [](std::uint32_t status, const char*) { return status == VERDICT_INVALID; };
    EXPECT_EQ(verdict_purge_if(invalid), static_cast<std::size_t>((n + 2) / 3));
    EXPECT_EQ(verdict_lookup(user(0)), std::nullopt);
    EXPECT_EQ(verdict_lookup(user(1)), VERDICT_VALID);
    EXPECT_EQ(live_entries().size(), static_cast<std::size_t>(n - (n + 2) / 3));
    EXPECT_EQ(verdict_purge_if(invalid), 0U);
}

// Between chunks other threads add, expire and evict entries, and may free
// the entry the walk goes on from: the walk visits each entry that stayed
// exactly once, in order, and none added after it began.
TEST_F(cache_test, ChunkedWalkSurvivesEntriesLeavingBetweenChunks) {
    start(86400, 50);
    const int n = static_cast<int>(walk_chunk_size) * 3;
    for (int i = 0; i < n; ++i) verdict_add(user(i), i % 2 == 0 ? VERDICT_INVALID : VERDICT_VALID);
    set_time(t0 + 10);
    verdict_cache_set_bound(static_cast<std::size_t>(n));
    struct walk {
        std::vector<std::string> seen;
        int chunks = 0;
        int next_user;
    } w{{}, 0, n};
    verdict_walk_chunks(
        [](void* c, std::uint32_t, const char* address) {
            static_cast<walk*>(c)->seen.emplace_back(address);
            return false;
        },
        [](void* c) {
            auto& st = *static_cast<walk*>(c);
            if (++st.chunks == 1) {
                // Every invalid entry expires, and new ones come: the expired
                // make room first, then valid ones from the front, the one the
                // walk was to go on from among them.
                set_time(t0 + 61);
                for (int i = 0; i < n / 2 + static_cast<int>(walk_chunk_size); ++i) {
                    verdict_add(user(st.next_user++), VERDICT_VALID);
                }
            }
            return true;
        },
        &w);
    EXPECT_EQ(verdict_lookup(user(static_cast<int>(walk_chunk_size) + 1)), std::nullopt);
    std::vector<std::string> expected;
    for (int i = 0; i < static_cast<int>(walk_chunk_size); ++i) expected.push_back(user(i));
    for (int i = static_cast<int>(walk_chunk_size); i < n; ++i) {
        if (verdict_lookup(user(i))) expected.push_back(user(i));
    }
    EXPECT_GT(expected.size(), walk_chunk_size);
    EXPECT_EQ(w.seen, expected);
}

TEST_F(cache_test, SaveCountersCountSuccessesAndFailures) {
    const cache_save_counters before = cache_save_statistics();
    verdict_add("dave@example.org", VERDICT_VALID);
    char dir[] = "/tmp/kv-counters.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/verdicts";
    std::size_t saved = 0;
    step_wall_clock(5);
    ASSERT_EQ(cache_save(path.c_str(), false, &saved), 0);
    EXPECT_EQ(saved, 1U);
    const log_capture log;
    EXPECT_EQ(cache_save((std::string(dir) + "/missing/verdicts").c_str(), false, &saved), 1);
    const cache_save_counters after = cache_save_statistics();
    EXPECT_EQ(after.ok, before.ok + 1);
    EXPECT_EQ(after.errors, before.errors + 1);
    EXPECT_EQ(after.last_save_unix, t0 + 5);
    std::remove(path.c_str());
    rmdir(dir);
}

// The documented defaults: a cache file is saved every 300 seconds unless
// told otherwise, and the cache holds at most 2000000 verdicts.
TEST_F(cache_test, PeriodicSavesRunByDefaultAndTheBoundIsTwoMillion) {
    const settings_record defaults;
    EXPECT_EQ(defaults.save_interval, 300);
    EXPECT_EQ(defaults.cache_max_entries, 2000000U);

    verdict_add("erin@example.org", VERDICT_VALID);
    char dir[] = "/tmp/kv-periodic.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/verdicts";
    const std::uint64_t before = cache_save_statistics().ok;
    periodic_save_start(path.c_str(), std::chrono::seconds(1));
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (cache_save_statistics().ok == before && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    periodic_save_stop();
    EXPECT_GT(cache_save_statistics().ok, before) << "no periodic save within 10 s";
    std::ifstream saved(path);
    std::string line;
    EXPECT_TRUE(std::getline(saved, line));
    EXPECT_EQ(line, "0 erin@example.org");
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace kelvantor::testing
