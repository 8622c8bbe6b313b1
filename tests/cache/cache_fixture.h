// Shared set-up for the cache tests: settable fake clocks, a cache started
// afresh with chosen lifetimes, and a listing of the live entries in the
// order the cache file would hold them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "common/rwlock.h"
#include "common/settings.h"

namespace kelvantor::testing {

// Microseconds, as the fake monotonic clock reports them; the fake wall clock
// reports them shifted by the steps it was given.
inline std::atomic<std::int64_t> fake_micros{0};
inline std::atomic<std::int64_t> wall_step_micros{0};

inline wall_time fake_now() {
    return wall_time(std::chrono::microseconds(fake_micros.load(std::memory_order_relaxed) +
                                               wall_step_micros.load(std::memory_order_relaxed)));
}

inline monotonic_time fake_monotonic_now() {
    return monotonic_time(std::chrono::microseconds(fake_micros.load(std::memory_order_relaxed)));
}

// Sets both clocks.
inline void set_time(std::int64_t seconds, std::int64_t micros = 0) {
    fake_micros.store(seconds * 1000000 + micros, std::memory_order_relaxed);
}

// Steps the wall clock alone, as a correction of the system time does.
inline void step_wall_clock(std::int64_t seconds) {
    wall_step_micros.fetch_add(seconds * 1000000, std::memory_order_relaxed);
}

using entry_list = std::vector<std::pair<std::uint32_t, std::string>>;

// Live entries, oldest first.
inline entry_list live_entries() {
    entry_list out;
    auto collect = [&out](std::uint32_t status, const char* address) {
        out.emplace_back(status, address);
        return true;
    };
    verdict_walk(collect);
    return out;
}

class cache_test : public ::testing::Test {
protected:
    void SetUp() override { start(86400, 3000); }
    void TearDown() override {
        set_clock_source(nullptr);
        set_monotonic_source(nullptr);
    }

    // A fresh cache with these lifetimes, the clocks at second 1000000.
    static void start(std::int32_t valid_ttl, std::int32_t invalid_ttl) {
        set_time(1000000);
        wall_step_micros.store(0, std::memory_order_relaxed);
        set_clock_source(fake_now);
        set_monotonic_source(fake_monotonic_now);
        ASSERT_EQ(verdict_cache_init(valid_ttl, invalid_ttl), 0);
    }
};

}  // namespace kelvantor::testing
