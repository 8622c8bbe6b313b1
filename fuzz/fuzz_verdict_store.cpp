// fuzz_verdict_store: the verdict cache (verdict_cache.h) against a plain list
// model, driven by a stream of adds, lookups, walks, clock moves and restarts
// under an injected clock that only moves forward.  Lookups and walks must
// answer as the model does, and the entries held may exceed the live ones only
// by what expired and was not yet freed, of which each add or lookup frees up
// to 32 (so the excess shrinks by 32 a step: a small constant once drained).
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "common/log.h"

namespace {

using namespace kelvantor;

std::int64_t now_seconds = 1'000'000;

// Ages are taken on the monotonic clock: the fake one moves only forward.
monotonic_time fake_now() {
    return monotonic_time(std::chrono::seconds(now_seconds));
}

void no_log(int, const char*) {}

void check(bool condition) {
    if (!condition) std::abort();
}

struct model_entry {
    std::string address;
    std::uint32_t status;
    std::int64_t stamp;
};

struct model {
    std::int64_t valid_ttl = 86400;
    std::int64_t invalid_ttl = 3000;
    std::vector<model_entry> entries;  // oldest first, live or not
    std::size_t held = 0;              // what the store should hold: live, and expired not freed

    bool live(const model_entry& e) const {
        const std::int64_t lifetime =
            e.status == VERDICT_INVALID ? std::min(invalid_ttl, valid_ttl) : valid_ttl;
        return now_seconds - e.stamp <= lifetime;
    }
    std::size_t live_count() const {
        std::size_t n = 0;
        for (const auto& e : entries) n += live(e) ? 1 : 0;
        return n;
    }
    // An add or lookup frees up to 32 entries that have expired.
    void free_expired_batch() {
        const std::size_t expired = held - live_count();
        held -= std::min<std::size_t>(expired, 32);
    }
};

bool same_folded(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

std::string until_nul(std::string text) {
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_sink(no_log);
    set_monotonic_source(fake_now);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    model m;
    now_seconds = 1'000'000;
    m.valid_ttl = in.ConsumeIntegralInRange<std::int32_t>(0, 100);
    m.invalid_ttl = in.ConsumeIntegralInRange<std::int32_t>(0, 100);
    check(verdict_cache_init(static_cast<std::int32_t>(m.valid_ttl),
                             static_cast<std::int32_t>(m.invalid_ttl)) == 0);
    std::vector<std::string> pool;  // addresses used so far, repeated in another case

    for (int step = 0; step < 2000 && in.remaining_bytes() > 0; ++step) {
        const auto op = in.ConsumeIntegralInRange<int>(0, 7);
        std::string address;
        if (op <= 3) {
            if (!pool.empty() && in.ConsumeBool()) {
                address = pool[in.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)];
                const std::size_t flip = in.ConsumeIntegral<std::uint8_t>();
                if (!address.empty()) {
                    char& c = address[flip % address.size()];
                    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
                }
            } else {
                address = in.ConsumeRandomLengthString(24);
                pool.push_back(address);
            }
        }
        switch (op) {
            case 0:
            case 1: {  // add, mostly valid and invalid verdicts
                const auto pick = in.ConsumeIntegralInRange<int>(0, 4);
                const std::uint32_t status = pick <= 1   ? VERDICT_VALID
                                             : pick <= 3 ? VERDICT_INVALID
                                                         : in.ConsumeIntegral<std::uint32_t>();
                verdict_add(address, status);
                m.free_expired_batch();
                m.entries.push_back({until_nul(address), status, now_seconds});
                ++m.held;
                break;
            }
            case 2:
            case 3: {  // lookup: the oldest live entry decides
                const std::string key = until_nul(address);
                std::optional<std::uint32_t> expected;
                for (const auto& e : m.entries) {
                    if (m.live(e) && same_folded(e.address, key)) {
                        expected = e.status;
                        break;
                    }
                }
                check(verdict_lookup(address) == expected);
                m.free_expired_batch();
                break;
            }
            case 4:
            case 5:  // the clock moves forward, by seconds or by a lifetime
                now_seconds += in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 3)
                                                : in.ConsumeIntegralInRange<int>(0, 200);
                break;
            case 6: {  // walk: the live entries, oldest first
                std::size_t at = 0;
                auto visit = [&](std::uint32_t status, const char* stored) {
                    while (at < m.entries.size() && !m.live(m.entries[at])) ++at;
                    check(at < m.entries.size());
                    check(m.entries[at].status == status && m.entries[at].address == stored);
                    ++at;
                    return true;
                };
                verdict_walk(visit);
                while (at < m.entries.size() && !m.live(m.entries[at])) ++at;
                check(at == m.entries.size());
                break;
            }
            case 7:  // a restart with other lifetimes: empty again
                m = model{};
                m.valid_ttl = in.ConsumeIntegralInRange<std::int32_t>(0, 100);
                m.invalid_ttl = in.ConsumeIntegralInRange<std::int32_t>(0, 100);
                check(verdict_cache_init(static_cast<std::int32_t>(m.valid_ttl),
                                         static_cast<std::int32_t>(m.invalid_ttl)) == 0);
                break;
        }
        if (m.entries.size() > 4096) break;
        const std::size_t held = verdict_cache_statistics().entries;
        check(held <= m.held);
        check(held >= m.live_count());
    }
    return 0;
}
