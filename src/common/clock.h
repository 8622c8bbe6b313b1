// The wall clock as the program reads it, replaceable so that expiry can be
// tested without waiting.
#pragma once

#include <chrono>

namespace kelvantor {

using wall_time = std::chrono::system_clock::time_point;
using clock_source = wall_time (*)();

// The current time from the installed source (the system clock by default).
wall_time wall_now();

// Installs a source; nullptr restores the system clock.  Set before threads start.
void set_clock_source(clock_source source);

}  // namespace kelvantor
