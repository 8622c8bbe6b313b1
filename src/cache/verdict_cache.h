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

// Appends a verdict stamped with the current time (monotonic_now()).  On lack
// of memory logs "kelvantor cannot alloc" and records nothing.
void verdict_add(std::string_view address, std::uint32_t status);

// The status of the oldest live entry for the address, or none.
std::optional<std::uint32_t> verdict_lookup(std::string_view address);

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
