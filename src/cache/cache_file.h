// The cache file: verdicts saved at exit as "%u %s" lines, oldest first, and
// loaded at start-up, so that they survive a restart.
#pragma once

namespace kelvantor {

// Loads the file at path into the cache; 0 (also for nullptr), 1 not openable.
int cache_load(const char* path);

// Writes the live verdicts to the file at path; 0 (also for nullptr), 1 on failure.
int cache_save(const char* path);

}  // namespace kelvantor
