// The process-wide verdict cache: for each recipient address a backend
// accepted or refused, the verdict and when it was learnt.  Entries expire by
// age (valid: valid_ttl; invalid: the shorter of the two lifetimes; any other
// status: valid_ttl); the oldest live entry for an address decides, case
// ignored.  Every operation holds cache_lock in write mode, only for the
// index operation itself.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvantor {

inline constexpr std::uint32_t VERDICT_VALID = 0;
inline constexpr std::uint32_t VERDICT_INVALID = 1;

// Guards the cache.
extern pthread_rwlock_t cache_lock;

// Empties the cache, takes the lifetimes from settings and initialises
// cache_lock; 0 or a pthread error number.
int verdict_cache_init();

// Addresses end at their first NUL byte, if any, as C strings would.

// Appends a verdict stamped with the current time (wall_now()).  On lack of
// memory logs "kelvantor cannot alloc" and records nothing.
void verdict_add(std::string_view address, std::uint32_t status);

// The status of the oldest live entry for the address, or none.
std::optional<std::uint32_t> verdict_lookup(std::string_view address);

// The current time in whole seconds, as entries are stamped and judged.
std::int64_t verdict_clock();

// Calls visit(context, status, address) for each live entry, oldest first,
// until it returns false; false if it did.  For writing the cache file: the
// caller holds cache_lock in write mode and read now with verdict_clock()
// before taking it.
using verdict_visitor = bool (*)(void* context, std::uint32_t status, const char* address);
bool verdict_walk_locked(std::int64_t now, verdict_visitor visit, void* context);

template <typename Visit>
bool verdict_walk_locked(std::int64_t now, Visit& visit) {
    return verdict_walk_locked(
        now,
        [](void* context, std::uint32_t status, const char* address) {
            return (*static_cast<Visit*>(context))(status, address);
        },
        &visit);
}

struct verdict_cache_stats {
    std::size_t entries;      // held, including expired ones not yet freed
    std::size_t table_slots;  // capacity of the address index
};

// Takes cache_lock.
verdict_cache_stats verdict_cache_statistics();

}  // namespace kelvantor
