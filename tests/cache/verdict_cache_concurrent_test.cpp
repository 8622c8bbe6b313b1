// Many threads adding and looking up at once while the clock moves and
// entries expire: every answer must be one the rules allow, and what the
// cache holds afterwards must be consistent.  Many threads filling an empty
// cache: the index grows under them without a failed insert, one table in the
// making at a time.  Run under ThreadSanitizer too.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <thread>
#include <vector>

#include "cache/cache_file.h"
#include "cache/verdict_store.h"
#include "cache_fixture.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

constexpr int thread_count = 8;
constexpr int operations = 20000;
constexpr int shared_addresses = 64;
constexpr std::int64_t valid_ttl = 30;
constexpr std::int64_t invalid_ttl = 10;

// Each shared address always gets the same status: 0, 1 or the unknown 2.
std::uint32_t shared_status(int n) {
    return static_cast<std::uint32_t>(n % 3);
}

std::string shared_address(int n, bool upper) {
    return (upper ? "SHARED" : "shared") + std::to_string(n) + "@example.org";
}

std::string own_address(int thread, int op) {
    return "t" + std::to_string(thread) + "-" + std::to_string(op) + "@example.org";
}

std::int64_t seconds_now() {
    return fake_micros.load() / 1000000;
}

struct thread_result {
    int own_misses_within_lifetime = 0;
    int wrong_statuses = 0;
    int own_hits = 0;
};

void run_thread(int thread, thread_result& result) {
    for (int op = 0; op < operations; ++op) {
        if (thread == 0 && op % 500 == 0) fake_micros.fetch_add(1000000);
        const int n = (op * 7 + thread) % shared_addresses;
        if (op % 3 == 0) {
            verdict_add(shared_address(n, op % 2 == 0), shared_status(n));
        } else if (const auto found = verdict_lookup(shared_address(n, thread % 2 == 0)); found) {
            result.wrong_statuses += *found != shared_status(n);
        }
        // An own verdict must be found when the whole round trip took no
        // longer than its lifetime.
        const std::uint32_t status = op % 2;
        const std::int64_t before = seconds_now();
        verdict_add(own_address(thread, op), status);
        const auto found = verdict_lookup(own_address(thread, op));
        const std::int64_t after = seconds_now();
        if (found) {
            result.wrong_statuses += *found != status;
            ++result.own_hits;
        } else if (after - before <= invalid_ttl) {
            ++result.own_misses_within_lifetime;
        }
        if (op % 4096 == 0) verdict_cache_statistics();
    }
}

TEST_F(cache_test, ConcurrentAddsAndLookupsStayConsistent) {
    start(valid_ttl, invalid_ttl);
    std::vector<thread_result> results(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back(run_thread, t, std::ref(results[t]));
    for (auto& thread : threads) thread.join();

    for (int t = 0; t < thread_count; ++t) {
        EXPECT_EQ(results[t].wrong_statuses, 0) << "thread " << t;
        EXPECT_EQ(results[t].own_misses_within_lifetime, 0) << "thread " << t;
        EXPECT_GT(results[t].own_hits, 0) << "thread " << t;
    }
    // What is left is live by the rules and carries the status it was added with.
    const auto left = live_entries();
    EXPECT_FALSE(left.empty());
    EXPECT_LT(left.size(), verdict_cache_statistics().entries + 1);
    for (const auto& [status, address] : left) {
        int thread = 0, op = 0, n = 0;
        if (std::sscanf(address.c_str(), "t%d-%d@", &thread, &op) == 2) {
            EXPECT_EQ(status, static_cast<std::uint32_t>(op % 2)) << address;
        } else if (std::sscanf(address.c_str(), "%*[a-zA-Z]%d@", &n) == 1) {
            EXPECT_EQ(status, shared_status(n)) << address;
        } else {
            ADD_FAILURE() << "unexpected address " << address;
        }
    }
}

// Slot arrays being allocated at this moment, and the most seen at once.
std::atomic<int> tables_in_making{0};
std::atomic<int> most_tables_in_making{0};

void* counting_calloc(std::size_t count, std::size_t size) {
    if (size != sizeof(cache_detail::slot)) return std::calloc(count, size);  // an entry
    const int making = tables_in_making.fetch_add(1) + 1;
    int most = most_tables_in_making.load();
    while (making > most && !most_tables_in_making.compare_exchange_weak(most, making)) {
    }
    // Leaves the other threads time to start a table of their own, and to
    // fill the current one.
    for (int i = 0; i < 200; ++i) std::this_thread::yield();
    void* table = std::calloc(count, size);
    tables_in_making.fetch_sub(1);
    return table;
}

TEST_F(cache_test, ConcurrentInsertsGrowTheIndexWithoutFailing) {
    constexpr int threads_wanted = 8;
    constexpr int per_thread = 6000;
    log_capture log;
    tables_in_making = 0;
    most_tables_in_making = 0;
    cache_detail::cache_calloc = counting_calloc;
    {
        std::latch start_together(threads_wanted);
        std::vector<std::jthread> threads;
        for (int t = 0; t < threads_wanted; ++t) {
            threads.emplace_back([t, &start_together] {
                start_together.arrive_and_wait();
                for (int i = 0; i < per_thread; ++i) verdict_add(own_address(t, i), VERDICT_VALID);
            });
        }
    }
    cache_detail::cache_calloc = std::calloc;

    EXPECT_EQ(log.count("kelvantor cannot alloc"), 0) << log.dump();
    EXPECT_EQ(most_tables_in_making.load(), 1);
    EXPECT_EQ(verdict_cache_statistics().entries,
              static_cast<std::size_t>(threads_wanted * per_thread));
    int missing = 0;
    for (int t = 0; t < threads_wanted; ++t) {
        for (int i = 0; i < per_thread; ++i) missing += !verdict_lookup(own_address(t, i));
    }
    EXPECT_EQ(missing, 0);
}

// Saves and purges over the whole cache give the lock up between chunks while
// other threads add, look up and evict under a bound: the file holds only
// whole lines, never more than the bound, and nothing is left inconsistent.
TEST_F(cache_test, SavesAndPurgesRunWhileThreadsAddUnderABound) {
    constexpr std::size_t bound = 10000;
    verdict_cache_set_bound(bound);
    char dir[] = "/tmp/kv-concurrent-save.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/verdicts";
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int op = 0; op < operations; ++op) {
                verdict_add(own_address(t, op), static_cast<std::uint32_t>(op % 2));
                verdict_lookup(own_address(t, op / 2));
            }
        });
    }
    for (int round = 0; round < 6; ++round) {
        std::size_t saved = 0;
        ASSERT_EQ(cache_save(path.c_str(), false, &saved), 0);
        EXPECT_LE(saved, bound);
        auto odd = [](std::uint32_t status, const char*) { return status == VERDICT_INVALID; };
        verdict_purge_if(odd);
    }
    for (auto& w : writers) w.join();
    EXPECT_LE(verdict_cache_statistics().entries, bound);
    EXPECT_EQ(verdict_cache_statistics().valid + verdict_cache_statistics().invalid,
              verdict_cache_statistics().entries);
    std::FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char line[512];
    int bad = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned status = 9;
        int consumed = 0;
        // NOLINTNEXTLINE(cert-err34-c)
        std::sscanf(line, "%u t%*d-%*d@example.org\n%n", &status, &consumed);
        bad += consumed == 0 || line[consumed] != '\0' || status > 1;
    }
    std::fclose(file);
    EXPECT_EQ(bad, 0);
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace kelvantor::testing
