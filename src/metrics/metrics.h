// The filter's counters, as "name value" lines and in the Prometheus text
// exposition format.
#pragma once

#include <string>

namespace kelvantor {

// One "name value" line per counter.
std::string stats_text();

// The same counters in the Prometheus text exposition format.
std::string metrics_text();

}  // namespace kelvantor
