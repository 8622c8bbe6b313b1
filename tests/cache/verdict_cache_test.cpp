// Verdict cache rules under a fake clock: lifetimes and their edges, the
// oldest live entry deciding, case folding, a clock set back, steps of the
// wall clock that must not bend ages, expiry that frees entries without
// lookups of them, an index that shrinks again, lack of memory, and a randomised
// comparison against a plain list that applies the rules literally.
#include <strings.h>
#include <syslog.h>

#include <algorithm>
#include <optional>
#include <random>

#include "cache/verdict_store.h"
#include "cache_fixture.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using verdict = std::optional<std::uint32_t>;
constexpr std::int64_t t0 = 1000000;

TEST_F(cache_test, EmptyCacheMisses) {
    EXPECT_EQ(verdict_lookup("a@example.org"), std::nullopt);
    EXPECT_EQ(verdict_lookup(""), std::nullopt);
}

struct lifetime_case {
    const char* name;
    std::uint32_t status;
    std::int32_t valid_ttl;
    std::int32_t invalid_ttl;
    std::int64_t lifetime;
};

class lifetime_test : public cache_test, public ::testing::WithParamInterface<lifetime_case> {};

// Ages count whole seconds of the stamp: stamped at t0.0, the entry is still
// live at t0 + lifetime + 0.9 s and gone at t0 + lifetime + 1.
TEST_P(lifetime_test, LivesExactlyItsLifetime) {
    const lifetime_case& c = GetParam();
    start(c.valid_ttl, c.invalid_ttl);
    verdict_add("user@example.org", c.status);
    set_time(t0 + c.lifetime, 900000);
    EXPECT_EQ(verdict_lookup("user@example.org"), c.status);
    set_time(t0 + c.lifetime + 1);
    EXPECT_EQ(verdict_lookup("user@example.org"), std::nullopt);
    EXPECT_TRUE(live_entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    statuses, lifetime_test,
    ::testing::Values(lifetime_case{"valid", VERDICT_VALID, 86400, 3000, 86400},
                      lifetime_case{"invalid", VERDICT_INVALID, 86400, 3000, 3000},
                      lifetime_case{"invalid_capped_by_valid", VERDICT_INVALID, 100, 500, 100},
                      lifetime_case{"valid_not_capped", VERDICT_VALID, 100, 500, 100},
                      lifetime_case{"other_status_lives_valid_ttl", 7, 86400, 3000, 86400}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(cache_test, OlderValidDecidesUntilItExpiresThenNewerInvalid) {
    start(100, 50);
    verdict_add("user@example.org", VERDICT_VALID);
    set_time(t0 + 80);
    verdict_add("user@example.org", VERDICT_INVALID);
    const std::pair<std::int64_t, verdict> expected[] = {
        {t0 + 80, VERDICT_VALID},    {t0 + 100, VERDICT_VALID}, {t0 + 101, VERDICT_INVALID},
        {t0 + 130, VERDICT_INVALID}, {t0 + 131, std::nullopt},
    };
    for (const auto& [when, status] : expected) {
        set_time(when);
        EXPECT_EQ(verdict_lookup("user@example.org"), status) << "at +" << when - t0;
    }
}

TEST_F(cache_test, DuplicatesAreKeptAndTheOlderDecides) {
    verdict_add("user@example.org", VERDICT_INVALID);
    verdict_add("user@example.org", VERDICT_VALID);
    verdict_add("user@example.org", VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("user@example.org"), VERDICT_INVALID);
    EXPECT_EQ(
        live_entries(),
        (entry_list{{1, "user@example.org"}, {0, "user@example.org"}, {1, "user@example.org"}}));
    set_time(t0 + 3001);
    EXPECT_EQ(verdict_lookup("user@example.org"), VERDICT_VALID);
    EXPECT_EQ(live_entries(), (entry_list{{0, "user@example.org"}}));
}

TEST_F(cache_test, CaseIsIgnoredForAsciiLettersOnly) {
    verdict_add("User.Name@Example.ORG", VERDICT_INVALID);
    verdict_add("\xc4rger@example.org", VERDICT_VALID);  // Latin-1 capital A umlaut
    verdict_add("a[b]@x", VERDICT_VALID);                // '[' and ']' are 0x20 below '{' and '}'
    verdict_add("@at", VERDICT_INVALID);                 // '@' is 0x20 below '`'
    const std::pair<const char*, verdict> probes[] = {
        {"user.name@example.org", VERDICT_INVALID}, {"USER.NAME@EXAMPLE.ORG", VERDICT_INVALID},
        {"User.Name@Example.ORG", VERDICT_INVALID}, {"user.name@example.or", std::nullopt},
        {"user.name@example.orgx", std::nullopt},   {"user.name@example.org ", std::nullopt},
        {"\xc4rger@EXAMPLE.org", VERDICT_VALID},    {"\xe4rger@example.org", std::nullopt},
    };
    for (const auto& [address, status] : probes) {
        EXPECT_EQ(verdict_lookup(address), status) << address;
    }
    EXPECT_EQ(live_entries().front().second, "User.Name@Example.ORG");
}

TEST_F(cache_test, ClockSetBackDelaysExpiryPastTheStamp) {
    verdict_add("ahead@example.org", VERDICT_VALID);
    set_time(t0 - 50000);
    EXPECT_EQ(verdict_lookup("ahead@example.org"), VERDICT_VALID);
    verdict_add("behind@example.org", VERDICT_VALID);
    // The later entry expires first although it stands behind the earlier one.
    set_time(t0 - 50000 + 86401);
    EXPECT_EQ(verdict_lookup("behind@example.org"), std::nullopt);
    EXPECT_EQ(verdict_lookup("ahead@example.org"), VERDICT_VALID);
    set_time(t0 + 86400);
    EXPECT_EQ(verdict_lookup("ahead@example.org"), VERDICT_VALID);
    set_time(t0 + 86401);
    EXPECT_EQ(verdict_lookup("ahead@example.org"), std::nullopt);
}

// Short-lived entries behind a long-lived one are freed by operations on
// other addresses, and without any lookup walking over them.
TEST_F(cache_test, ExpiredEntriesAreFreedByUnrelatedOperations) {
    constexpr int count = 5000;
    verdict_add("keeper@example.org", VERDICT_VALID);
    for (int i = 0; i < count; ++i) verdict_add("gone" + std::to_string(i) + "@x", VERDICT_INVALID);
    ASSERT_EQ(verdict_cache_statistics().entries, count + 1u);
    set_time(t0 + 3001);
    int operations = 0;
    while (verdict_cache_statistics().entries > 1 && operations < count) {
        ASSERT_EQ(verdict_lookup("keeper@example.org"), VERDICT_VALID);
        ++operations;
    }
    EXPECT_EQ(verdict_cache_statistics().entries, 1u);
    EXPECT_LT(operations, count);
    EXPECT_EQ(verdict_lookup("gone0@x"), std::nullopt);
    EXPECT_EQ(live_entries(), (entry_list{{0, "keeper@example.org"}}));
}

// A step of the wall clock, either way, neither ends a verdict early nor
// holds up the expiry of the verdicts queued behind it.
TEST_F(cache_test, WallClockStepsDoNotBendAges) {
    constexpr int count = 3000;
    constexpr std::int64_t year = 365 * 86400;
    for (const std::int64_t step : {year, -year}) {
        start(86400, 3000);
        step_wall_clock(step);
        verdict_add("stepped@example.org", VERDICT_INVALID);
        step_wall_clock(-step);
        EXPECT_EQ(verdict_lookup("stepped@example.org"), VERDICT_INVALID) << "step " << step;
        for (int i = 0; i < count; ++i)
            verdict_add("n" + std::to_string(i) + "@x", VERDICT_INVALID);
        set_time(t0 + 3001);
        for (int i = 0; i < count && verdict_cache_statistics().entries > 0; ++i) {
            verdict_lookup("other@x");
        }
        EXPECT_EQ(verdict_cache_statistics().entries, 0u) << "step " << step;
        EXPECT_EQ(verdict_lookup("stepped@example.org"), std::nullopt) << "step " << step;
    }
}

// Once most addresses have expired the index is rebuilt smaller, by lookups
// alone, and it grows again for new addresses.
TEST_F(cache_test, IndexShrinksOnceMostOfItHasExpired) {
    constexpr int count = 20000;
    verdict_add("keeper@example.org", VERDICT_VALID);
    for (int i = 0; i < count; ++i) verdict_add("gone" + std::to_string(i) + "@x", VERDICT_INVALID);
    ASSERT_GT(verdict_cache_statistics().table_slots, static_cast<std::size_t>(count));
    set_time(t0 + 3001);
    for (int i = 0; i < count && verdict_cache_statistics().table_slots > 16; ++i) {
        ASSERT_EQ(verdict_lookup("keeper@example.org"), VERDICT_VALID);
    }
    EXPECT_EQ(verdict_cache_statistics().entries, 1u);
    EXPECT_EQ(verdict_cache_statistics().table_slots, 16u);
    for (int i = 0; i < 1000; ++i) verdict_add("back" + std::to_string(i) + "@x", VERDICT_VALID);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(verdict_lookup("BACK" + std::to_string(i) + "@x"), VERDICT_VALID) << i;
    }
    EXPECT_EQ(verdict_lookup("keeper@example.org"), VERDICT_VALID);
    EXPECT_LE(verdict_cache_statistics().table_slots, 4096u);
}

TEST_F(cache_test, AddressEndsAtNul) {
    verdict_add(std::string_view("cut@x\0tail", 10), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("cut@x"), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup(std::string_view("CUT@x\0other", 11)), VERDICT_INVALID);
    EXPECT_EQ(live_entries(), (entry_list{{1, "cut@x"}}));
}

class failing_calloc {
public:
    explicit failing_calloc(std::size_t fail_from) {
        limit = fail_from;
        cache_detail::cache_calloc = [](std::size_t n, std::size_t size) -> void* {
            return n * size >= limit ? nullptr : std::calloc(n, size);
        };
    }
    ~failing_calloc() { cache_detail::cache_calloc = std::calloc; }

private:
    static inline std::size_t limit = 0;
};

TEST_F(cache_test, LackOfMemoryRecordsNothing) {
    log_capture log;
    {
        const failing_calloc fail(0);
        verdict_add("user@example.org", VERDICT_VALID);
    }
    EXPECT_TRUE(log.contains(LOG_ERR, "kelvantor cannot alloc")) << log.dump();
    EXPECT_EQ(verdict_lookup("user@example.org"), std::nullopt);
    EXPECT_EQ(verdict_cache_statistics().entries, 0u);
    verdict_add("user@example.org", VERDICT_VALID);
    EXPECT_EQ(verdict_lookup("user@example.org"), VERDICT_VALID);
}

// When the index cannot grow, new addresses fail until it is full, while
// further verdicts for known addresses are still recorded.
TEST_F(cache_test, IndexThatCannotGrowStillTakesKnownAddresses) {
    log_capture log;
    verdict_add("first@x", VERDICT_VALID);
    int added = 1;
    {
        const failing_calloc fail(verdict_cache_statistics().table_slots * 2 * sizeof(void*));
        while (added < 1000 && log.count("kelvantor cannot alloc") == 0) {
            verdict_add("a" + std::to_string(added++) + "@x", VERDICT_VALID);
        }
        ASSERT_EQ(log.count("kelvantor cannot alloc"), 1) << "added " << added;
        EXPECT_EQ(verdict_lookup("a" + std::to_string(added - 1) + "@x"), std::nullopt);
        verdict_add("FIRST@x", VERDICT_INVALID);
        EXPECT_EQ(log.count("kelvantor cannot alloc"), 1);
    }
    for (int i = 1; i < added - 1; ++i) {
        ASSERT_EQ(verdict_lookup("a" + std::to_string(i) + "@x"), VERDICT_VALID) << i;
    }
    verdict_add("after@x", VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("after@x"), VERDICT_INVALID);
    EXPECT_EQ(live_entries().size(), static_cast<std::size_t>(added + 1));
}

// The rules applied literally to a list, oldest first.
struct reference_cache {
    struct entry {
        std::string address;
        std::uint32_t status;
        std::int64_t stamp;
    };
    std::vector<entry> entries;
    std::int64_t valid_ttl, invalid_ttl;

    bool expired(const entry& e, std::int64_t now) const {
        const std::int64_t age = now - e.stamp;
        return age > valid_ttl || (e.status == VERDICT_INVALID && age > invalid_ttl);
    }
    verdict lookup(const std::string& address, std::int64_t now) {
        // The clock only moves forward here, so what expired stays expired.
        std::erase_if(entries, [&](const entry& e) { return expired(e, now); });
        for (const entry& e : entries) {
            if (strcasecmp(e.address.c_str(), address.c_str()) == 0) return e.status;
        }
        return std::nullopt;
    }
};

TEST_F(cache_test, AgreesWithTheRulesOverRandomOperations) {
    start(20, 7);
    reference_cache reference{{}, 20, 7};
    std::mt19937 random(20240611);
    std::int64_t now = t0;
    // Mostly a few hot addresses, which pile up entries of both classes, and
    // now and then one of many, which makes the index grow and shrink.
    auto pick = [&random](int many) {
        return static_cast<int>(random() % 4 == 0 ? random() % many : random() % 40);
    };
    auto variant = [&random](int n) {
        std::string address = "User" + std::to_string(n) + "@Example.org";
        for (char& c : address) {
            if (random() % 2 == 0)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return address;
    };
    for (int op = 0; op < 30000; ++op) {
        const auto roll = random() % 100;
        if (roll < 2) {
            now += random() % 3;
            set_time(now, static_cast<std::int64_t>(random() % 1000000));
        } else if (roll < 40) {
            const auto status = static_cast<std::uint32_t>(random() % 3);
            const std::string address = variant(pick(600));
            verdict_add(address, status);
            reference.entries.push_back({address, status, now});
        } else {
            const std::string address = variant(pick(700));
            ASSERT_EQ(verdict_lookup(address), reference.lookup(address, now))
                << "operation " << op << " " << address;
        }
    }
    entry_list expected;
    reference.lookup("", now);
    for (const auto& e : reference.entries) expected.emplace_back(e.status, e.address);
    EXPECT_EQ(live_entries(), expected);
}

}  // namespace
}  // namespace kelvantor::testing
