// Saves of the cache file at a fixed interval from a background thread, so
// that after a crash (or kill -9) a restart loses at most one interval's
// verdicts.  The save holds the cache lock only per chunk of entries.
#pragma once

#include <chrono>

namespace kelvantor {

// Starts the thread; nothing for a null path or an interval of zero.
void periodic_save_start(const char* path, std::chrono::seconds interval);

// Stops the thread (waiting for a save under way); nothing when not started.
void periodic_save_stop();

// A new interval (a reload): the next save comes that long after the last;
// 0 stops the periodic saves, a positive interval starts them if they were off.
void periodic_save_set_interval(const char* path, std::chrono::seconds interval);

}  // namespace kelvantor
