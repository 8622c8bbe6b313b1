// Operations benchmarks of the verdict cache in one process:
//   save: the p99 of a recipient's cache work (a lookup, and an add on a miss)
//         with 10^6 verdicts held, without and while a periodic save runs in a loop;
//   rss:  the resident size with BackCacheMaxEntries:100000 at 100000 verdicts
//         and after a flood of 10^6 distinct addresses.
// Usage: kv-ops-bench [save|rss|all] [verdicts]; prints a table.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache_file.h"
#include "cache/verdict_cache.h"

namespace {

using kelvantor::VERDICT_INVALID;
using kelvantor::VERDICT_VALID;
using clock_type = std::chrono::steady_clock;

// 24 characters, as in the memory figures of the README.
std::string address(long n) {
    char text[48];
    std::snprintf(text, sizeof text, "u%09ld@example.test.", n);
    return std::string(text, 24);
}

double p99_us(const std::vector<double>& samples) {
    std::vector<double> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() * 99 / 100];
}

std::vector<double> recipients(long held, int count, long offset) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        // Half hits among the held verdicts, half new addresses.
        const long n = i % 2 == 0 ? (i * 7919L) % held : offset + i;
        const auto start = clock_type::now();
        const std::string a = address(n);
        if (!kelvantor::verdict_lookup(a)) kelvantor::verdict_add(a, VERDICT_INVALID);
        samples.push_back(
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
        // A gap, as between recipients, so that the saver gets the lock in between.
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return samples;
}

long rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long value = 0;
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

void bench_save(long held) {
    kelvantor::verdict_cache_init(86400, 3000);
    for (long i = 0; i < held; ++i)
        kelvantor::verdict_add(address(i), i % 2 == 0 ? VERDICT_VALID : VERDICT_INVALID);
    constexpr int count = 200000;
    const double quiet = p99_us(recipients(held, count, held * 10));
    std::atomic<bool> stop{false};
    std::atomic<int> saves{0};
    char dir[] = "/tmp/kv-ops-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    const std::string path = std::string(dir) + "/verdicts";
    std::thread saver([&] {
        while (!stop.load()) {
            kelvantor::cache_save(path.c_str(), false);
            saves.fetch_add(1);
        }
    });
    const auto start = clock_type::now();
    const double saving = p99_us(recipients(held, count, held * 20));
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    stop = true;
    saver.join();
    std::remove(path.c_str());
    std::remove(dir);
    std::printf("| recipient p99, %ld verdicts, no save | %.1f us | |\n", held, quiet);
    std::printf("| recipient p99, saves running (%d in %.1f s) | %.1f us | %.2fx (limit 2x) |\n",
                saves.load(), seconds, saving, saving / quiet);
}

void bench_rss() {
    kelvantor::verdict_cache_init(86400, 3000);
    constexpr long bound = 100000;
    kelvantor::verdict_cache_set_bound(bound);
    const long base = rss_kib();
    for (long i = 0; i < bound; ++i) kelvantor::verdict_add(address(i), VERDICT_INVALID);
    const long at_bound = rss_kib();
    for (long i = bound; i < 1000000; ++i) kelvantor::verdict_add(address(i), VERDICT_INVALID);
    const long flooded = rss_kib();
    const auto stats = kelvantor::verdict_cache_statistics();
    std::printf("| RSS at %ld verdicts (bound %ld) | %ld KiB (%.0f B/verdict) | |\n", bound, bound,
                at_bound, static_cast<double>(at_bound - base) * 1024 / bound);
    std::printf(
        "| RSS after 10^6 distinct addresses | %ld KiB, %zu held, %llu evicted | %.3fx "
        "(limit 1.10x) |\n",
        flooded, stats.entries, static_cast<unsigned long long>(stats.evictions),
        static_cast<double>(flooded) / static_cast<double>(at_bound));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const long held = argc > 2 ? std::atol(argv[2]) : 1000000;
    std::printf("| measure | value | ratio |\n|---|---|---|\n");
    // RSS first, in a cache nothing else has grown.
    if (mode == "rss" || mode == "all") bench_rss();
    if (mode == "save" || mode == "all") bench_save(held);
    return 0;
}
