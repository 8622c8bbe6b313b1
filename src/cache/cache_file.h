// The cache file: verdicts saved at exit as "%u %s" lines, oldest first, and
// loaded at start-up, so that they survive a restart.
#pragma once

#include <cstdint>

namespace kelvantor {

// Loads the file at path into the cache; 0 (also for nullptr), 1 not openable.
int cache_load(const char* path);

// Writes the live verdicts to the file at path; 0 (also for nullptr), 1 on failure.
int cache_save(const char* path);

// What the saves so far came to, for the metrics.
struct cache_save_counters {
    std::uint64_t ok = 0;
    std::uint64_t errors = 0;
    std::int64_t last_save_unix = 0;  // wall-clock seconds of the last save that succeeded; 0: none
};
cache_save_counters cache_save_statistics();

}  // namespace kelvantor
