// Many threads adding and looking up at once while the clock moves and
// entries expire: every answer must be one the rules allow, and what the
// cache holds afterwards must be consistent.  Run under ThreadSanitizer too.
#include <thread>
#include <vector>

#include "cache_fixture.h"

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

}  // namespace
}  // namespace kelvantor::testing
