// The process-wide verdict cache: for each recipient address a backend
// accepted or refused, the verdict and when it was learnt.  Entries expire by
// age (valid: valid_ttl; invalid: the shorter of the two lifetimes; any other
// status: valid_ttl); the oldest live entry for an address decides, case
// ignored.  Every operation holds cache_lock in write mode, only for the
// index operation itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvantor {

inline constexpr std::uint32_t VERDICT_VALID = 0;
inline constexpr std::uint32_t VERDICT_INVALID = 1;

// Empties the cache and sets the lifetimes in seconds (an invalid verdict
// lives at most as long as a valid one); 0 or a pthread error number.
int verdict_cache_init(std::int32_t valid_ttl, std::int32_t invalid_ttl);

// Addresses end at their first NUL byte, if any, as C strings would.

// Addresses longer than this are never cached (nor loaded from the cache file).
inline constexpr std::size_t longest_cached_address = 254;

// The most entries held at once; 0 (the state after verdict_cache_init): no
// bound.  A lower bound takes effect at the next insert.
void verdict_cache_set_bound(std::size_t max_entries);

// New lifetimes in seconds (a reload; an invalid verdict lives at most as
// long as a valid one): every verdict held is judged by them from now on.
void verdict_cache_set_lifetimes(std::int32_t valid_ttl, std::int32_t invalid_ttl);

// Appends a verdict stamped with the current time (monotonic_now()).  On lack
// of memory logs "kelvantor cannot alloc" and records nothing; an address
// longer than longest_cached_address is not recorded.  When the cache holds
// its bound of entries, the invalid verdicts inserted first make room, the
// others only once no invalid one is left (a flood of unknown addresses
// cannot push out the real users), and "verdict cache full: N entries, oldest
// evicted" is logged as a warning at most once a minute.
void verdict_add(std::string_view address, std::uint32_t status);

// Appends a verdict that was learnt age seconds ago (elsewhere: a negative age
// counts as 0), judged by this cache's lifetimes: false, and nothing
// recorded, when it has outlived its class here.  Otherwise as verdict_add.
bool verdict_adopt(std::string_view address, std::uint32_t status, std::int64_t age);

// Seconds a verdict of the status lives in this cache.
std::int64_t verdict_lifetime(std::uint32_t status);

// The status of the oldest live entry for the address, or none.
std::optional<std::uint32_t> verdict_lookup(std::string_view address);

// The verdict that decides for the address: its status, its age and the
// seconds it has left to live.
struct verdict_view {
    std::uint32_t status;
    std::int64_t age;
    std::int64_t remaining;
};
std::optional<verdict_view> verdict_inspect(std::string_view address);

// Removes every verdict of the address; the number of live ones removed.
std::size_t verdict_purge(std::string_view address);

// Walks the live entries oldest first, a chunk of at most walk_chunk_size
// entries per hold of the cache lock: visit(context, status, address) runs
// under the lock (it must not call into the cache, and the entry leaves the
// cache when it returns true); between chunks, pause(context) runs with no
// lock held and ends the walk by returning false (nullptr: never).  Entries
// added after the walk began are not visited; the walk ends within the number
// of entries there were then.
inline constexpr std::size_t walk_chunk_size = 4096;
using chunk_visitor = bool (*)(void* context, std::uint32_t status, const char* address);
using chunk_pause = bool (*)(void* context);
void verdict_walk_chunks(chunk_visitor visit, chunk_pause pause, void* context);

// Removes the live entries for which remove(status, address) holds (called
// under the lock, chunk by chunk as above); the number removed.
template <typename Predicate>
std::size_t verdict_purge_if(Predicate& remove) {
    struct state {
        Predicate& remove;
        std::size_t removed = 0;
    } s{remove};
    verdict_walk_chunks(
        [](void* context, std::uint32_t status, const char* address) {
            auto& st = *static_cast<state*>(context);
            const bool gone = st.remove(status, address);
            if (gone) ++st.removed;
            return gone;
        },
        nullptr, &s);
    return s.removed;
}

// The current monotonic time in whole seconds, as entries are stamped and
// judged; stamps are never written to the cache file.
std::int64_t verdict_clock();

// Calls visit(context, status, address) for each live entry, oldest first,
// until it returns false; false if it did.  The cache is locked for the
// whole walk, so visit must not call back into it.
using verdict_visitor = bool (*)(void* context, std::uint32_t status, const char* address);
bool verdict_walk(verdict_visitor visit, void* context);

template <typename Visit>
bool verdict_walk(Visit& visit) {
    return verdict_walk(
        [](void* context, std::uint32_t status, const char* address) {
            return (*static_cast<Visit*>(context))(status, address);
        },
        &visit);
}

struct verdict_cache_stats {
    std::size_t entries;          // held, including expired ones not yet freed
    std::size_t table_slots;      // capacity of the address index (grows and shrinks)
    std::size_t valid = 0;        // held entries with VERDICT_VALID
    std::size_t invalid = 0;      // held entries with VERDICT_INVALID
    std::uint64_t evictions = 0;  // entries removed to keep the cache within its bound
};

verdict_cache_stats verdict_cache_statistics();

}  // namespace kelvantor
