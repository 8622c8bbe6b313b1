// Shared set-up for the cache tests: a settable fake clock, a cache started
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

// Microseconds since the epoch, as the fake clock reports them.
inline std::atomic<std::int64_t> fake_micros{0};

inline wall_time fake_now() {
    return wall_time(std::chrono::microseconds(fake_micros.load(std::memory_order_relaxed)));
}

inline void set_time(std::int64_t seconds, std::int64_t micros = 0) {
    fake_micros.store(seconds * 1000000 + micros, std::memory_order_relaxed);
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
    void TearDown() override { set_clock_source(nullptr); }

    // A fresh cache with these lifetimes, the clock at second 1000000.
    static void start(std::int32_t valid_ttl, std::int32_t invalid_ttl) {
        set_time(1000000);
        set_clock_source(fake_now);
        ASSERT_EQ(verdict_cache_init(valid_ttl, invalid_ttl), 0);
    }
};

}  // namespace kelvantor::testing
