// The cache file: verdicts saved at exit as "%u %s" lines, oldest first, and
// loaded at start-up, so that they survive a restart.
#pragma once

namespace kelvantor {

// Loads settings.backlist_path into the cache; 0 (also with no path), 1 not openable.
int cache_load();

// Writes the live verdicts to settings.backlist_path; 0 (also with no path), 1 on failure.
int cache_save();

}  // namespace kelvantor
