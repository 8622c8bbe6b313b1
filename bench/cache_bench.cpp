// Costs of the verdict cache by size: lookups that hit and miss, adds in a
// steady state where as many verdicts expire as are added, and the memory one
// verdict takes (24-character addresses, a million of them).  Per-operation
// times should stay flat from a hundred to a million entries.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cache/verdict_cache.h"
#include "cache/verdict_store.h"
#include "common/clock.h"
#include "common/settings.h"

namespace {

using namespace kelvantor;

std::atomic<std::int64_t> bench_seconds{1700000000};

monotonic_time bench_now() {
    return monotonic_time(std::chrono::seconds(bench_seconds.load(std::memory_order_relaxed)));
}

// 24 characters: "rcpt" + 8 digits + "@example.org".
std::string address_of(std::int64_t i, const char* prefix = "rcpt") {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s%08lld@example.org", prefix, static_cast<long long>(i));
    return buffer;
}

// The same addresses in order without formatting each: a counter kept in
// the digits of the text itself.
struct sequential_address {
    char text[25] = "rcpt00000000@example.org";

    void advance() {
        for (int i = 11; i >= 4; --i) {
            if (text[i] != '9') {
                ++text[i];
                return;
            }
            text[i] = '0';
        }
    }
};

// The size the lookup benchmarks last filled the cache to, or -1.
std::int64_t preloaded = -1;

void start_cache(std::int32_t valid_ttl) {
    preloaded = -1;
    set_monotonic_source(bench_now);
    if (verdict_cache_init(valid_ttl, 3000) != 0) std::abort();
}

// Fills the cache with n verdicts, half of them valid, once per size.
void preload(std::int64_t n) {
    if (preloaded == n) return;
    start_cache(86400);
    sequential_address address;
    for (std::int64_t i = 0; i < n; ++i, address.advance()) {
        verdict_add(address.text, static_cast<std::uint32_t>(i % 2));
    }
    preloaded = n;
}

constexpr std::size_t key_count = 4096;

// Keys spread evenly over the whole cache, so that the set in use stays the
// same size at every cache size and the index's own cost is what is measured.
std::vector<std::string> spread_keys(std::int64_t n, const char* prefix) {
    std::vector<std::string> keys;
    for (std::size_t k = 0; k < key_count; ++k) {
        keys.push_back(address_of(static_cast<std::int64_t>(k * n / key_count) % n, prefix));
    }
    return keys;
}

// Keys drawn at random from the whole cache: at a million entries most of
// them miss the processor caches, which shows what memory latency adds.
std::vector<std::string> random_keys(std::int64_t n) {
    std::mt19937_64 random(42);
    std::vector<std::string> keys;
    for (std::size_t k = 0; k < 16 * key_count; ++k) {
        keys.push_back(address_of(static_cast<std::int64_t>(random() % n)));
    }
    return keys;
}

void run_lookups(benchmark::State& state, const std::vector<std::string>& keys, bool hits) {
    std::size_t k = 0;
    for (auto _ : state) {
        const auto found = verdict_lookup(keys[k]);
        if (found.has_value() != hits) state.SkipWithError("unexpected lookup result");
        benchmark::DoNotOptimize(found);
        k = k + 1 == keys.size() ? 0 : k + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void lookup_hit(benchmark::State& state) {
    preload(state.range(0));
    run_lookups(state, spread_keys(state.range(0), "rcpt"), true);
}

void lookup_hit_random(benchmark::State& state) {
    preload(state.range(0));
    run_lookups(state, random_keys(state.range(0)), true);
}

void lookup_miss(benchmark::State& state) {
    preload(state.range(0));
    run_lookups(state, spread_keys(state.range(0), "miss"), false);
}

// Each second of the clock brings n new verdicts and, with a lifetime of one
// second, the expiry of those two seconds old: the cache holds n to 2n.
void add_steady(benchmark::State& state) {
    const std::int64_t n = state.range(0);
    start_cache(1);
    sequential_address address;
    for (std::int64_t i = 0; i < n; ++i, address.advance())
        verdict_add(address.text, VERDICT_VALID);
    bench_seconds.fetch_add(1);
    std::int64_t in_second = 0;
    for (auto _ : state) {
        verdict_add(address.text, VERDICT_VALID);
        address.advance();
        if (++in_second == n) {
            in_second = 0;
            bench_seconds.fetch_add(1);
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["entries"] = static_cast<double>(verdict_cache_statistics().entries);
}

std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void memory_per_verdict(benchmark::State& state) {
    const std::int64_t n = state.range(0);
    for (auto _ : state) {
        start_cache(86400);
        sequential_address address;
        const std::size_t before = heap_in_use();
        for (std::int64_t i = 0; i < n; ++i, address.advance()) {
            verdict_add(address.text, VERDICT_INVALID);
        }
        const std::size_t after = heap_in_use();
        const auto stats = verdict_cache_statistics();
        state.counters["bytes_per_verdict"] =
            static_cast<double>(after - before) / static_cast<double>(n);
        state.counters["index_bytes_per_verdict"] =
            static_cast<double>(stats.table_slots * sizeof(cache_detail::slot)) /
            static_cast<double>(n);
        state.counters["entries"] = static_cast<double>(stats.entries);
    }
}

}  // namespace

BENCHMARK(lookup_hit)->RangeMultiplier(100)->Range(100, 1000000);
BENCHMARK(lookup_miss)->RangeMultiplier(100)->Range(100, 1000000);
BENCHMARK(lookup_hit_random)->RangeMultiplier(100)->Range(100, 1000000);
BENCHMARK(add_steady)->RangeMultiplier(100)->Range(100, 1000000);
BENCHMARK(memory_per_verdict)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
