// The process-wide verdict cache: the store of verdict_store.h behind one
// read/write lock (always taken for writing: lookups expire entries).  Each operation reads the
// clock and allocates before taking the lock, holds it only for the index work, and frees what
// expired after releasing it.  A spare table for the index is allocated by one thread at a time.
#include "cache/verdict_cache.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "cache/verdict_store.h"
#include "common/clock.h"
#include "common/log.h"
#include "common/rwlock.h"

namespace kelvantor {
namespace {

pthread_rwlock_t cache_lock;

using cache_detail::slot_array;
using cache_detail::verdict_entry;

// Expired entries freed per operation at most, so that no caller pays for a
// whole generation expiring at once.
constexpr std::size_t expiry_batch = 32;

constinit cache_detail::verdict_store store;
bool lock_initialised = false;

std::atomic<std::size_t> entry_bound{0};            // 0: none
std::atomic<std::uint64_t> evictions{0};            // live entries removed for the bound
std::atomic<std::int64_t> last_full_warning{-1};    // verdict_clock() of the last warning, or -1
constexpr std::int64_t full_warning_interval = 60;  // seconds between warnings at most

// Logs the full cache at most once a minute.
void warn_full(std::int64_t now, std::size_t entries) {
    std::int64_t last = last_full_warning.load(std::memory_order_relaxed);
    if (last >= 0 && now - last < full_warning_interval) return;
    if (!last_full_warning.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
    log_msg(LOG_WARNING, "verdict cache full: %zu entries, oldest evicted", entries);
}

struct entry_list_deleter {
    void operator()(verdict_entry* list) const noexcept { cache_detail::free_entries(list); }
};
using owned_entries = std::unique_ptr<verdict_entry, entry_list_deleter>;

struct slot_array_owner {
    slot_array array;
    ~slot_array_owner() { cache_detail::free_slot_array(array); }
};

// The right to allocate a spare table for the index: one thread at a time
// holds it, so that concurrent inserts do not each allocate a table of the
// same size.  It is taken before cache_lock, never while holding it.
std::mutex spare_mutex;

// A spare table of the capacity the index wants, allocated outside the cache
// lock by the holder of spare_mutex; freed, when the index did not take it,
// before the right is given up.
class spare_table {
public:
    // Without wait, only when the index wants another table and no other
    // thread is allocating one; with wait, after waiting for that thread.
    explicit spare_table(bool wait) {
        if (wait) {
            hold_ = std::unique_lock(spare_mutex);
        } else {
            if (store.wanted_capacity() == 0) return;
            hold_ = std::unique_lock(spare_mutex, std::try_to_lock);
            if (!hold_.owns_lock()) return;
        }
        if (const std::size_t wanted = store.wanted_capacity(); wanted != 0) {
            spare_.array = cache_detail::new_slot_array(wanted);
            allocation_failed_ = spare_.array.slots == nullptr;
        }
    }

    // Under cache_lock: gives the table to the index if it still wants one.
    void offer() noexcept {
        if (spare_.array.slots != nullptr) spare_.array = store.offer_table(spare_.array);
    }

    // This thread tried to allocate a table and got no memory.
    bool allocation_failed() const noexcept { return allocation_failed_; }

private:
    std::unique_lock<std::mutex> hold_;  // declared first: given up last
    slot_array_owner spare_;
    bool allocation_failed_ = false;
};

std::uint64_t hash_seed() {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return seed;
}

std::string_view until_nul(std::string_view address) {
    const auto end = address.find('\0');
    return end == std::string_view::npos ? address : address.substr(0, end);
}

}  // namespace

// Ages are taken on the monotonic clock: a verdict stamped by a wall clock
// that is later stepped back would head its queue for as long as the step,
// and every verdict behind it would stay in memory until then.
std::int64_t verdict_clock() {
    return std::chrono::floor<std::chrono::seconds>(monotonic_now().time_since_epoch()).count();
}

int verdict_cache_init(std::int32_t valid_ttl, std::int32_t invalid_ttl) {
    const std::int64_t valid = valid_ttl;
    const std::int64_t invalid = std::min<std::int64_t>(invalid_ttl, valid);
    store.reset(valid, invalid, hash_seed());
    entry_bound.store(0, std::memory_order_relaxed);
    evictions.store(0, std::memory_order_relaxed);
    last_full_warning.store(-1, std::memory_order_relaxed);
    if (lock_initialised) pthread_rwlock_destroy(&cache_lock);
    lock_initialised = false;
    if (const int error = pthread_rwlock_init(&cache_lock, nullptr); error != 0) return error;
    lock_initialised = true;
    return 0;
}

void verdict_cache_set_bound(std::size_t max_entries) {
    entry_bound.store(max_entries, std::memory_order_relaxed);
}

void verdict_cache_set_lifetimes(std::int32_t valid_ttl, std::int32_t invalid_ttl) {
    const std::int64_t valid = valid_ttl;
    KV_WRITE_LOCK(cache_lock);
    store.set_lifetimes(valid, std::min<std::int64_t>(invalid_ttl, valid));
}

namespace {

// Appends a verdict learnt age seconds ago.  Its entry stands at the tail of
// its queue like any new one, so one adopted with an age frees its memory
// only when the entries ahead of it have expired (at most one lifetime late);
// lookups judge it by its own stamp all the same.
void add_aged(std::string_view address, std::uint32_t status, std::int64_t age) {
    const std::int64_t now = verdict_clock();
    address = until_nul(address);
    if (address.size() > longest_cached_address) return;
    std::unique_ptr<verdict_entry, entry_list_deleter> entry(
        cache_detail::new_entry(address, status, now - age, store.hash(address)));
    if (!entry) {
        log_msg(LOG_ERR, "kelvantor cannot alloc");
        return;
    }
    // The table is left without room for a new address only when inserts
    // filled it while another thread was allocating the spare: then this one
    // waits for its turn to allocate, so no insert fails while there is memory.
    for (bool wait = false;; wait = true) {
        spare_table spare(wait);
        owned_entries expired;
        owned_entries evicted;
        bool added = false;
        std::size_t full_at = 0;
        {
            KV_WRITE_LOCK(cache_lock);
            expired.reset(store.take_expired(now, expiry_batch));
            const std::size_t bound = entry_bound.load(std::memory_order_relaxed);
            while (bound != 0 && store.entries() >= bound) {
                bool live = false;
                verdict_entry* gone = store.take_for_eviction(now, live);
                gone->queue_next = evicted.release();
                evicted.reset(gone);
                if (live) {
                    evictions.fetch_add(1, std::memory_order_relaxed);
                    full_at = bound;
                }
            }
            spare.offer();
            added = store.insert(entry.get());
        }
        if (full_at != 0) warn_full(now, full_at);
        if (added) {
            [[maybe_unused]] auto* owned_by_store = entry.release();
            return;
        }
        if (spare.allocation_failed()) {
            log_msg(LOG_ERR, "kelvantor cannot alloc");
            return;
        }
    }
}

}  // namespace

void verdict_add(std::string_view address, std::uint32_t status) {
    add_aged(address, status, 0);
}

bool verdict_adopt(std::string_view address, std::uint32_t status, std::int64_t age) {
    if (age < 0) age = 0;
    const std::int64_t lifetime = store.lifetime_of_status(status);
    if (age > lifetime) return false;
    add_aged(address, status, age);
    return true;
}

std::int64_t verdict_lifetime(std::uint32_t status) {
    return store.lifetime_of_status(status);
}

std::optional<std::uint32_t> verdict_lookup(std::string_view address) {
    const std::int64_t now = verdict_clock();
    address = until_nul(address);
    const std::uint32_t hash = store.hash(address);
    // A table that most entries have left wants to shrink: lookups rebuild it too.
    spare_table spare(false);
    owned_entries expired;
    std::optional<std::uint32_t> status;
    {
        KV_WRITE_LOCK(cache_lock);
        expired.reset(store.take_expired(now, expiry_batch));
        spare.offer();
        status = store.find(address, hash, now);
    }
    return status;
}

bool verdict_walk(verdict_visitor visit, void* context) {
    const std::int64_t now = verdict_clock();
    KV_WRITE_LOCK(cache_lock);
    return store.walk_live(now, visit, context);
}

std::optional<verdict_view> verdict_inspect(std::string_view address) {
    const std::int64_t now = verdict_clock();
    address = until_nul(address);
    const std::uint32_t hash = store.hash(address);
    KV_WRITE_LOCK(cache_lock);
    const verdict_entry* entry = store.find_entry(address, hash, now);
    if (entry == nullptr) return std::nullopt;
    const std::int64_t age = now - entry->stamp;
    return verdict_view{entry->status, age, store.lifetime_of(*entry) - age};
}

std::size_t verdict_purge(std::string_view address) {
    const std::int64_t now = verdict_clock();
    address = until_nul(address);
    const std::uint32_t hash = store.hash(address);
    KV_WRITE_LOCK(cache_lock);
    return store.purge(address, hash, now);
}

void verdict_walk_chunks(chunk_visitor visit, chunk_pause pause, void* context) {
    struct step_context {
        chunk_visitor visit;
        void* context;
    } step{visit, context};
    cache_detail::verdict_store::walk_cursor cursor;
    for (;;) {
        owned_entries expired;
        {
            const std::int64_t now = verdict_clock();
            KV_WRITE_LOCK(cache_lock);
            expired.reset(store.take_expired(now, expiry_batch));
            store.walk_chunk(
                cursor, now, walk_chunk_size,
                [](void* c, const verdict_entry& entry) {
                    auto& s = *static_cast<step_context*>(c);
                    return s.visit(s.context, entry.status, entry.address());
                },
                &step);
        }
        if (cursor.done) return;
        if (pause != nullptr && !pause(context)) return;
    }
}

verdict_cache_stats verdict_cache_statistics() {
    KV_WRITE_LOCK(cache_lock);
    verdict_cache_stats stats{store.entries(), store.capacity()};
    stats.valid = store.entries_of_class(0);
    stats.invalid = store.entries_of_class(1);
    stats.evictions = evictions.load(std::memory_order_relaxed);
    return stats;
}

}  // namespace kelvantor
