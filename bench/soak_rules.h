// The soak's judgement of kelvantor's answers and of its resource samples.
// Every recipient the soak sends has a kind, and the test backend's rule for
// its local part fixes what kelvantor may answer: the backend's own verdict,
// or, while the backend is down or a conversation with it broke, the
// documented answer to backend trouble.  Once kelvantor has given the backend's
// verdict for an address (or the address was preloaded into its cache) it has
// learnt it and must give that verdict again.  The samples of RSS, threads and
// descriptors are compared between the first and the last window of the run.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "milter_client/milter_client.h"

namespace kelvantor::bench::soak {

// The recipients of the soak.  "Fresh" ones are new to kelvantor when first
// sent; "again" ones repeat a fresh address sent before (by any connection).
enum class kind : std::uint8_t {
    cached_valid,    // preloaded as valid; the backend accepts it too
    cached_invalid,  // preloaded as invalid; the backend refuses it too ("unknown..." local part)
    fresh_valid,     // the backend answers 250
    fresh_unknown,   // the backend answers 550
    again_valid,     // a fresh_valid address once more
    again_unknown,   // a fresh_unknown address once more
    tempfail,        // the backend answers 451; never cached, always asked
};
inline constexpr std::size_t kind_count = 7;
const char* kind_name(kind k);
bool is_unknown(kind k);  // the backend refuses it
bool is_valid(kind k);    // the backend accepts it

// kelvantor's answer to one RCPT, as the MTA sees it.
enum class answer : std::uint8_t {
    pass,     // SMFIR_CONTINUE
    reject,   // "550 5.1.1  User unknown"
    defer,    // "451 4.7.0 Internal error"
    foreign,  // any other answer (other reply text, accept, discard, no reply, ...)
    lost,     // no answer: the milter connection failed
};
inline constexpr std::size_t answer_count = 5;
const char* answer_name(answer a);
answer classify(const testing::milter_reply& reply);

// What a wrong answer was.
enum class wrong : std::uint8_t {
    none,
    unknown_passed,     // an unknown address passed (see judge)
    known_rejected,     // a valid address was rejected
    tempfail_rejected,  // an address the backend defers was rejected
    learnt_forgotten,   // a learnt address was deferred instead of getting its verdict
    foreign_answer,     // an answer kelvantor never gives at RCPT
    no_answer,          // the milter connection failed
};
inline constexpr std::size_t wrong_count = 7;
const char* wrong_name(wrong w);

// How kelvantor is configured to answer backend trouble: defer (BackErrorTempfail:yes,
// the soak's configuration) or pass.
enum class on_error : std::uint8_t { defer, pass };

// The verdict on one answer.  learnt: at the time the RCPT was sent, kelvantor
// had already given this address the backend's verdict (or had it preloaded).
// Legal answers: a valid address passes, or is deferred while it is not
// learnt; an unknown one is rejected, or deferred while not learnt, or (with
// on_error::pass only) passed while not learnt; a tempfail one passes (the
// backend's 451 leaves it unjudged) or is deferred.
wrong judge(kind k, bool learnt, answer a, on_error mode);

// Whether this answer teaches kelvantor the address: a rejected unknown one
// (it cached the 550), and, when trouble defers, a valid one that passed (a
// pass can then only come from a 250 or the cache).
bool teaches(kind k, answer a, on_error mode);

// Addresses of one fresh kind handed out so far, and when kelvantor learnt
// each: the send time (ns since the start, plus 1) of the first RCPT that got
// the backend's verdict, stored once that answer has arrived.  Only the first
// teaching dates an entry: a later verdict may come from that same entry.
class address_pool {
public:
    explicit address_pool(std::size_t capacity);
    // A new address, or none when the pool is spent.
    bool fresh(std::uint64_t& id) {
        id = next_.fetch_add(1, std::memory_order_relaxed);
        return id < capacity_;
    }
    // One handed out before, or none yet.
    bool again(std::uint64_t draw, std::uint64_t& id) const {
        const std::uint64_t n =
            std::min<std::uint64_t>(next_.load(std::memory_order_relaxed), capacity_);
        if (n == 0) return false;
        id = draw % n;
        return true;
    }
    // Whether a RCPT sent at sent_ns must find the verdict still cached:
    // before the lifetime (less a margin for kelvantor's whole-second clock)
    // has run out; lifetime_ns 0: it never does within the run.
    bool learnt(std::uint64_t id, std::int64_t sent_ns, std::int64_t lifetime_ns) const {
        const std::int64_t taught = taught_[id].load(std::memory_order_acquire);
        return taught != 0 && (lifetime_ns == 0 || sent_ns < taught - 1 + lifetime_ns);
    }
    void learn(std::uint64_t id, std::int64_t sent_ns) {
        std::int64_t never = 0;
        taught_[id].compare_exchange_strong(never, sent_ns + 1, std::memory_order_acq_rel);
    }

private:
    std::unique_ptr<std::atomic<std::int64_t>[]> taught_;
    std::size_t capacity_;
    std::atomic<std::uint64_t> next_{0};
};

// One sample of kelvantor's process.
struct sample {
    double at = 0;  // seconds since the load started
    std::uint64_t rss_kb = 0;
    std::uint64_t threads = 0;
    std::uint64_t fds = 0;
};

// Reads /proc/PID/status (VmRSS, Threads) and counts /proc/PID/fd; nullopt
// when the process is gone.
std::optional<sample> read_sample(int pid, double at);

struct window_means {
    std::size_t samples = 0;
    double rss_kb = 0;
    double threads = 0;
    double fds = 0;
};

// The means of the samples taken in [from, to).
window_means means(const std::vector<sample>& samples, double from, double to);

// Percent by which later exceeds earlier (negative when it is lower).
double growth_percent(double earlier, double later);

// The window for a run of this length: a third of it in whole seconds, at
// least 1 s and at most 20 s (20 s for 60 s, 3 s for 10 s).
double window_for(double seconds);

}  // namespace kelvantor::bench::soak
