// The process-wide verdict cache: the store of verdict_store.h behind one
// read/write lock (always taken for writing: lookups expire entries).  Each operation reads the
// clock and allocates before taking the lock, holds it only for the index work, and frees what
// expired after releasing it.  A spare table for the index is allocated by one thread at a time.
#include "cache/verdict_cache.h"

#include <sys/random.h>

#include <algorithm>
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
    if (lock_initialised) pthread_rwlock_destroy(&cache_lock);
    lock_initialised = false;
    if (const int error = pthread_rwlock_init(&cache_lock, nullptr); error != 0) return error;
    lock_initialised = true;
    return 0;
}

void verdict_add(std::string_view address, std::uint32_t status) {
    const std::int64_t now = verdict_clock();
    address = until_nul(address);
    std::unique_ptr<verdict_entry, entry_list_deleter> entry(
        cache_detail::new_entry(address, status, now, store.hash(address)));
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
        bool added = false;
        {
            KV_WRITE_LOCK(cache_lock);
            expired.reset(store.take_expired(now, expiry_batch));
            spare.offer();
            added = store.insert(entry.get());
        }
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

verdict_cache_stats verdict_cache_statistics() {
    KV_WRITE_LOCK(cache_lock);
    return {store.entries(), store.capacity()};
}

}  // namespace kelvantor
