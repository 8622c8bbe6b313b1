// The cache file: verdicts saved at exit as "%u %s" lines, oldest first, and
// loaded at start-up, so that they survive a restart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvantor {

// Loads the file at path into the cache; 0 (also for nullptr), 1 not openable.
int cache_load(const char* path);

// Whether a save that cannot make a new file beside the old one may rewrite
// the old one where it is (emptied first, so an interrupted save loses it):
// only the save at exit does.
enum class rewrite_in_place { never, where_no_new_file };

// Writes the live verdicts to a new file beside the one at path and renames it
// into place; 0 (also for nullptr), 1 on failure.  The cache lock is held only
// while a chunk of entries is copied, never while writing; one save runs at a
// time.  announce: log "saving cache PATH" first.  saved, when given,
// receives the number of verdicts written.
int cache_save(const char* path, bool announce = true, std::size_t* saved = nullptr,
               rewrite_in_place fallback = rewrite_in_place::never);

// Removes the temporary files that saves of path left when the process died
// during them: the run user's regular files with one link, named as a save
// names them, beside the file a save writes.  Links, other users' files and
// other names are left alone.  Logs how many went; returns that number.
std::size_t cache_remove_stale_files(const char* path);

// One line of the file as the loader reads it (its line feed, if it has one,
// included): the verdict it holds, or nothing for a line the loader passes
// over (malformed, longer than 510 characters, or an address the cache would
// not hold).
struct cache_file_entry {
    std::uint32_t status;
    std::string address;
};
std::optional<cache_file_entry> cache_parse_line(std::string_view line);

// Appends the line a save writes for the verdict to out; false, and nothing
// appended, for a verdict a save leaves out (one that would not read back).
bool cache_format_line(std::uint32_t status, const char* address, std::string& out);

// What the saves so far came to, for the metrics.
struct cache_save_counters {
    std::uint64_t ok = 0;
    std::uint64_t errors = 0;
    std::int64_t last_save_unix = 0;  // wall-clock seconds of the last save that succeeded; 0: none
};
cache_save_counters cache_save_statistics();

}  // namespace kelvantor
