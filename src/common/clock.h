// The clocks as the program reads them, replaceable so that expiry can be
// tested without waiting: the wall clock for times that mean a date, and a
// monotonic clock for ages, which a step of the wall clock (an NTP correction
// after a wrong clock at boot) must not bend.
#pragma once

#include <chrono>

namespace kelvantor {

using wall_time = std::chrono::system_clock::time_point;
using clock_source = wall_time (*)();

using monotonic_time = std::chrono::steady_clock::time_point;
using monotonic_source = monotonic_time (*)();

// The current time from the installed source (the system clock by default).
wall_time wall_now();

// Installs a source; nullptr restores the system clock.  Set before threads start.
void set_clock_source(clock_source source);

// The current monotonic time from the installed source (the steady clock by default).
monotonic_time monotonic_now();

// Installs a monotonic source; nullptr restores the steady clock.  Set before
// threads start.
void set_monotonic_source(monotonic_source source);

}  // namespace kelvantor
