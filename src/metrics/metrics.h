// The filter's counters, as "name value" lines and in the Prometheus text
// exposition format.  Counting takes no lock: every counter is a relaxed
// atomic on a cache line of its own, so threads that count different things
// never share a line, and a scrape reads each counter once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "backend/server_health.h"

namespace kelvantor {

// What became of a recipient the filter was shown.
enum class recipient_result { passed, rejected, deferred, unrouted };
// Client connections at connect: accepted without any check, or checked.
enum class connection_result { exempt, checked };
// The verdict cache's answer for a routed recipient.
enum class cache_lookup_result { hit_valid, hit_invalid, miss };

void count_recipient(recipient_result result) noexcept;
void count_connection(connection_result result) noexcept;
void count_cache_lookup(cache_lookup_result result) noexcept;
// A probe at server (probe_reply: backend/server_health.h) that was answered
// (or not) after round_trip.  Probes are counted per server only; the
// renderings add them up.
void count_probe(server_health& server, probe_reply reply,
                 std::chrono::nanoseconds round_trip) noexcept;
// A probe that never went out: the backend could not be reached or greeted.
void count_unreachable_probe(server_health& server) noexcept;

// Operations on the shared verdict store, by outcome: ok (done; for get, a
// verdict came back), miss (get: no such key), error (refused, a wrong type
// or an unreadable value, or not tried because the store is marked
// unavailable), timeout (no answer within the limit), dropped (set: the
// writer's queue was full).
enum class shared_op { get, set, del };
enum class shared_result { ok, miss, error, timeout, dropped };
void count_shared(shared_op op, shared_result result, std::uint64_t count = 1) noexcept;
// The shared store's state: -1 none configured (the gauge is left out), 0
// unavailable, 1 available.
void set_shared_cache_state(int state) noexcept;
// Messages on the fleet's push channel: sent (published by this filter),
// applied (a verdict or purge of another filter put in force here), own
// (this filter's, dropped), ignored (well-formed but nothing to do: expired,
// or a local verdict stands), malformed (not a verdict nor a purge).
enum class push_result { sent, applied, own, ignored, malformed };
void count_push(push_result result, std::uint64_t count = 1) noexcept;

// A reload of the configuration: taken, or refused (the running one stayed).
void count_reload(bool ok) noexcept;
// The program's version and the wall-clock second the process started, shown
// as kelvantor_build_info and process_start_time_seconds.
void set_process_info(std::string_view version, std::int64_t start_unix);
// Seconds between periodic saves of the cache file; 0: no periodic saves.
void set_cache_save_interval(std::int64_t seconds) noexcept;

// Upper bounds of the probe round-trip histogram, in seconds, as rendered.
inline constexpr std::string_view probe_bucket_bounds[] = {
    "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1",
    "0.25",  "0.5",    "1",     "2.5",  "5",     "10",
};

// One "name value" line per counter.
std::string stats_text();

// The same counters in the Prometheus text exposition format.
std::string metrics_text();

// A label value as the exposition format quotes it: backslash, double quote
// and line feed escaped.
std::string escape_label_value(std::string_view value);

// Every counter back to zero, those of each server too (tests).
void metrics_reset() noexcept;

}  // namespace kelvantor
