// The process-wide verdict cache: for each recipient address a backend
// accepted or refused, the verdict and when it was learnt.  Entries expire by
// age (valid: valid_ttl; invalid: the shorter of the two lifetimes; any other
// status: valid_ttl); the oldest live entry for an address decides, case
// ignored.  Every operation holds cache_lock in write mode, only for the
// index operation itself.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvantor {

inline constexpr std::uint32_t VERDICT_VALID = 0;
inline constexpr std::uint32_t VERDICT_INVALID = 1;

// Guards the cache, and the increments of smtpwait.
extern pthread_rwlock_t cache_lock;

// Empties the cache, takes the lifetimes from settings and initialises
// cache_lock; 0 or a pthread error number.
int verdict_cache_init();

// Appends a verdict stamped with the current time (wall_now()).  On lack of
// memory logs "kelvantor cannot alloc" and records nothing.
void verdict_add(std::string_view address, std::uint32_t status);

// The status of the oldest live entry for the address, or none.
std::optional<std::uint32_t> verdict_lookup(std::string_view address);

}  // namespace kelvantor
