// The filter's counters and their two renderings.
#include "metrics/metrics.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "backend/catch_all.h"
#include "backend/closer.h"
#include "cache/cache_file.h"
#include "cache/verdict_cache.h"
#include "common/clock.h"

namespace kelvantor {
namespace {

constexpr std::size_t cache_line = 64;

// A counter alone on its cache line.
struct alignas(cache_line) counter {
    std::atomic<std::uint64_t> value{0};

    void add(std::uint64_t amount = 1) noexcept {
        value.fetch_add(amount, std::memory_order_relaxed);
    }
    std::uint64_t get() const noexcept { return value.load(std::memory_order_relaxed); }
    void reset() noexcept { value.store(0, std::memory_order_relaxed); }
};

constexpr std::size_t bucket_count = std::size(probe_bucket_bounds);
// The bounds above in nanoseconds, same order.
constexpr std::array<std::int64_t, bucket_count> bucket_limits_ns = {
    1'000'000,     2'500'000,     5'000'000,      10'000'000,  25'000'000,
    50'000'000,    100'000'000,   250'000'000,    500'000'000, 1'000'000'000,
    2'500'000'000, 5'000'000'000, 10'000'000'000,
};

struct counters {
    counter recipients[4];   // recipient_result
    counter connections[2];  // connection_result
    counter lookups[3];      // cache_lookup_result
    // Probes per bucket, not cumulative; the last one above the highest bound.
    counter round_trips[bucket_count + 1];
    counter round_trip_ns;
    counter shared[3][5];  // shared_op, shared_result
    counter pushes[5];     // push_result
};

counters totals;
std::atomic<int> shared_state{-1};

// Configuration reloads and the process, rarely written.
struct process_record {
    std::mutex mutex;
    std::uint64_t reloads_ok = 0;
    std::uint64_t reloads_error = 0;
    std::int64_t last_reload_unix = 0;  // 0: none yet
    std::string version;
    std::int64_t start_unix = 0;
    std::int64_t save_interval = 0;
};
process_record& process_info() {
    static auto* const record = new process_record;  // never destroyed: scrapes until the end
    return *record;
}

template <typename Enum>
std::size_t index_of(Enum value) noexcept {
    return static_cast<std::size_t>(value);
}

// A consistent enough copy for one rendering: each counter read once.
struct snapshot {
    std::uint64_t recipients[4];
    std::uint64_t connections[2];
    std::uint64_t lookups[3];
    std::uint64_t probes[probe_reply_count];  // summed over servers
    std::vector<server_health_view> servers;
    std::uint64_t cumulative[bucket_count + 1];  // the last one is the +Inf bucket
    double round_trip_seconds;
    verdict_cache_stats cache;
    cache_save_counters saves;
    std::uint64_t shared[3][5];
    std::uint64_t pushes[5];
    int shared_state;
    std::uint64_t reloads_ok;
    std::uint64_t reloads_error;
    std::int64_t last_reload_unix;
    std::string version;
    std::int64_t start_unix;
    std::int64_t save_interval;
    closer_counts closes;
};

template <std::size_t N>
void copy(const counter (&from)[N], std::uint64_t (&to)[N]) noexcept {
    for (std::size_t i = 0; i < N; ++i) to[i] = from[i].get();
}

snapshot take_snapshot() {
    snapshot s{};
    copy(totals.recipients, s.recipients);
    copy(totals.connections, s.connections);
    copy(totals.lookups, s.lookups);
    s.servers = server_health_report();
    for (const server_health_view& server : s.servers) {
        for (std::size_t i = 0; i < probe_reply_count; ++i) s.probes[i] += server.probes[i];
    }
    std::uint64_t running = 0;
    for (std::size_t i = 0; i <= bucket_count; ++i) {
        running += totals.round_trips[i].get();
        s.cumulative[i] = running;
    }
    s.round_trip_seconds = static_cast<double>(totals.round_trip_ns.get()) / 1e9;
    s.cache = verdict_cache_statistics();
    s.saves = cache_save_statistics();
    for (std::size_t op = 0; op < 3; ++op) copy(totals.shared[op], s.shared[op]);
    copy(totals.pushes, s.pushes);
    s.shared_state = shared_state.load(std::memory_order_relaxed);
    process_record& process = process_info();
    const std::lock_guard lock(process.mutex);
    s.reloads_ok = process.reloads_ok;
    s.reloads_error = process.reloads_error;
    s.last_reload_unix = process.last_reload_unix;
    s.version = process.version;
    s.start_unix = process.start_unix;
    s.save_interval = process.save_interval;
    s.closes = backend_closer().counts();
    return s;
}

void append_number(std::string& out, std::uint64_t value) {
    char text[24];
    const int length =
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    out.append(text, static_cast<std::size_t>(length));
}

void append_number(std::string& out, std::int64_t value) {
    char text[24];
    const int length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    out.append(text, static_cast<std::size_t>(length));
}

void append_number(std::string& out, double value) {
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%.9g", value);
    out.append(text, static_cast<std::size_t>(length));
}

constexpr const char* recipient_labels[] = {"passed", "rejected", "deferred", "unrouted"};
constexpr const char* connection_labels[] = {"exempt", "checked"};
constexpr const char* lookup_labels[] = {"hit_valid", "hit_invalid", "miss"};
constexpr const char* probe_labels[] = {"accepted", "unknown", "other", "no_reply", "unreachable"};
static_assert(std::size(probe_labels) == probe_reply_count);
constexpr const char* shared_op_labels[] = {"get", "set", "del"};
constexpr const char* shared_result_labels[] = {"ok", "miss", "error", "timeout", "dropped"};
constexpr const char* push_labels[] = {"sent", "applied", "own", "ignored", "malformed"};

// ---- Prometheus text --------------------------------------------------------

struct exposition {
    std::string out;

    void family(const char* name, const char* type, const char* help) {
        out.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    template <typename Value>
    void sample(const char* name, Value value) {
        out.append(name).append(" ");
        append_number(out, value);
        out.append("\n");
    }
    template <typename Value>
    void sample(const char* name, const char* label, std::string_view label_value, Value value) {
        out.append(name).append("{").append(label).append("=\"");
        out.append(escape_label_value(label_value)).append("\"} ");
        append_number(out, value);
        out.append("\n");
    }
    struct label_pair {
        const char* name;
        std::string_view value;
    };
    void labelled_sample(const char* name, std::initializer_list<label_pair> labels,
                         std::uint64_t value) {
        out.append(name).append("{");
        const char* separator = "";
        for (const label_pair& label : labels) {
            out.append(separator).append(label.name).append("=\"");
            out.append(escape_label_value(label.value)).append("\"");
            separator = ",";
        }
        out.append("} ");
        append_number(out, value);
        out.append("\n");
    }
    template <std::size_t N>
    void samples(const char* name, const char* label, const char* const (&labels)[N],
                 const std::uint64_t (&values)[N]) {
        for (std::size_t i = 0; i < N; ++i) sample(name, label, labels[i], values[i]);
    }
};

// ---- stats lines ------------------------------------------------------------

struct stats_lines {
    std::string out;

    template <typename Value>
    void line(std::string_view name, Value value) {
        out.append(name).append(" ");
        append_number(out, value);
        out.append("\n");
    }
    template <std::size_t N>
    void lines(std::string_view prefix, const char* const (&labels)[N],
               const std::uint64_t (&values)[N]) {
        for (std::size_t i = 0; i < N; ++i) {
            out.append(prefix).append("_").append(labels[i]).append(" ");
            append_number(out, values[i]);
            out.append("\n");
        }
    }
};

}  // namespace

void count_recipient(recipient_result result) noexcept {
    totals.recipients[index_of(result)].add();
}

void count_connection(connection_result result) noexcept {
    totals.connections[index_of(result)].add();
}

void count_cache_lookup(cache_lookup_result result) noexcept {
    totals.lookups[index_of(result)].add();
}

void count_probe(server_health& server, probe_reply reply,
                 std::chrono::nanoseconds round_trip) noexcept {
    server.count(reply);
    const std::int64_t ns = round_trip.count() < 0 ? 0 : round_trip.count();
    std::size_t bucket = 0;
    while (bucket < bucket_count && ns > bucket_limits_ns[bucket]) ++bucket;
    totals.round_trips[bucket].add();
    totals.round_trip_ns.add(static_cast<std::uint64_t>(ns));
}

void count_unreachable_probe(server_health& server) noexcept {
    server.count(probe_reply::unreachable);
}

void count_shared(shared_op op, shared_result result, std::uint64_t count) noexcept {
    totals.shared[index_of(op)][index_of(result)].add(count);
}

void count_push(push_result result, std::uint64_t count) noexcept {
    totals.pushes[index_of(result)].add(count);
}

void set_shared_cache_state(int state) noexcept {
    shared_state.store(state, std::memory_order_relaxed);
}

void count_reload(bool ok) noexcept {
    process_record& process = process_info();
    const std::lock_guard lock(process.mutex);
    if (ok) {
        ++process.reloads_ok;
        process.last_reload_unix =
            std::chrono::duration_cast<std::chrono::seconds>(wall_now().time_since_epoch()).count();
    } else {
        ++process.reloads_error;
    }
}

void set_process_info(std::string_view version, std::int64_t start_unix) {
    process_record& process = process_info();
    const std::lock_guard lock(process.mutex);
    process.version = version;
    process.start_unix = start_unix;
}

void set_cache_save_interval(std::int64_t seconds) noexcept {
    process_record& process = process_info();
    const std::lock_guard lock(process.mutex);
    process.save_interval = seconds;
}

void metrics_reset() noexcept {
    for (auto& row : totals.shared) {
        for (auto& c : row) c.reset();
    }
    for (auto& c : totals.pushes) c.reset();
    for (auto& c : totals.recipients) c.reset();
    for (auto& c : totals.connections) c.reset();
    for (auto& c : totals.lookups) c.reset();
    server_health_reset();
    for (auto& c : totals.round_trips) c.reset();
    totals.round_trip_ns.reset();
}

std::string escape_label_value(std::string_view value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string stats_text() {
    const snapshot s = take_snapshot();
    stats_lines text;
    text.lines("recipients", recipient_labels, s.recipients);
    text.line("recipients_exempt", std::uint64_t{0});
    text.lines("connections", connection_labels, s.connections);
    text.lines("cache_lookups", lookup_labels, s.lookups);
    text.lines("backend_probes", probe_labels, s.probes);
    // Per server: "backend_probes_accepted@ADDRESS:PORT N", ...
    for (const server_health_view& server : s.servers) {
        for (std::size_t i = 0; i < probe_reply_count; ++i) {
            text.line(std::string("backend_probes_") + probe_labels[i] + "@" + server.name,
                      server.probes[i]);
        }
        text.line("backend_circuit_open@" + server.name, std::uint64_t{server.circuit_open});
        text.line("backend_pool_conversations@" + server.name, server.pooled);
        text.line("backend_pool_waits_served@" + server.name, server.pool_served);
        text.line("backend_pool_waits_timed_out@" + server.name, server.pool_timed_out);
    }
    text.line("backend_probe_seconds_count", s.cumulative[bucket_count]);
    text.line("backend_probe_seconds_sum", s.round_trip_seconds);
    text.line("cache_entries", std::uint64_t{s.cache.entries});
    text.line("cache_entries_valid", std::uint64_t{s.cache.valid});
    text.line("cache_entries_invalid", std::uint64_t{s.cache.invalid});
    text.line("cache_evictions", s.cache.evictions);
    text.line("cache_saves_ok", s.saves.ok);
    text.line("cache_saves_error", s.saves.errors);
    text.line("cache_last_save_timestamp_seconds", s.saves.last_save_unix);
    text.line("cache_save_interval_seconds", s.save_interval);
    for (std::size_t op = 0; op < 3; ++op) {
        text.lines(std::string("shared_cache_") + shared_op_labels[op], shared_result_labels,
                   s.shared[op]);
    }
    if (s.shared_state >= 0) text.line("shared_cache_up", std::int64_t{s.shared_state});
    text.lines("shared_push", push_labels, s.pushes);
    text.line("config_reloads_ok", s.reloads_ok);
    text.line("config_reloads_error", s.reloads_error);
    text.line("config_last_reload_success_timestamp_seconds", s.last_reload_unix);
    text.line("backend_closes_done", s.closes.done);
    text.line("backend_closes_unanswered", s.closes.unanswered);
    text.line("backend_closes_dropped", s.closes.dropped);
    text.line("backend_closes_pending", s.closes.pending);
    return std::move(text.out);
}

std::string metrics_text() {
    const snapshot s = take_snapshot();
    exposition text;

    text.family("kelvantor_recipients_total", "counter",
                "Recipients the filter answered, by answer. unrouted: no route, passed unchecked. "
                "exempt is always 0: exempt clients are accepted at connect and their recipients "
                "never reach the filter (see kelvantor_connections_total).");
    text.samples("kelvantor_recipients_total", "result", recipient_labels, s.recipients);
    text.sample("kelvantor_recipients_total", "result", "exempt", std::uint64_t{0});

    text.family("kelvantor_connections_total", "counter",
                "Client connections: exempt ones accepted at connect without any check, "
                "checked ones shown to the filter.");
    text.samples("kelvantor_connections_total", "result", connection_labels, s.connections);

    text.family("kelvantor_cache_lookups_total", "counter",
                "Verdict cache lookups for routed recipients, by result.");
    text.samples("kelvantor_cache_lookups_total", "result", lookup_labels, s.lookups);

    text.family("kelvantor_backend_probes_total", "counter",
                "RCPT TO probes by backend server and reply: accepted 250, unknown 550/553, other "
                "any other reply, no_reply none in time, unreachable no conversation could be "
                "opened.");
    for (const server_health_view& server : s.servers) {
        for (std::size_t i = 0; i < probe_reply_count; ++i) {
            text.labelled_sample("kelvantor_backend_probes_total",
                                 {{"server", server.name}, {"reply", probe_labels[i]}},
                                 server.probes[i]);
        }
    }
    text.family("kelvantor_backend_circuit_open", "gauge",
                "1 while new conversations with the backend server are refused because one has "
                "stalled, 0 otherwise.");
    for (const server_health_view& server : s.servers) {
        text.sample("kelvantor_backend_circuit_open", "server", server.name,
                    std::uint64_t{server.circuit_open});
    }

    text.family("kelvantor_backend_pool_conversations", "gauge",
                "Conversations held by the backend server's pool (BackSMTPMaxConnections): in "
                "use, idle, or being ended.");
    for (const server_health_view& server : s.servers) {
        text.sample("kelvantor_backend_pool_conversations", "server", server.name, server.pooled);
    }
    text.family("kelvantor_backend_pool_waits_total", "counter",
                "Probes that found no pooled conversation free and waited for one, by result: "
                "served, or timed_out (given the failure answer).");
    for (const server_health_view& server : s.servers) {
        text.labelled_sample("kelvantor_backend_pool_waits_total",
                             {{"server", server.name}, {"result", "served"}}, server.pool_served);
        text.labelled_sample("kelvantor_backend_pool_waits_total",
                             {{"server", server.name}, {"result", "timed_out"}},
                             server.pool_timed_out);
    }

    text.family("kelvantor_backend_catch_all_domains", "gauge",
                "Domains a backend server was found to accept any recipient of.");
    text.sample("kelvantor_backend_catch_all_domains", std::uint64_t{catch_all_accepting_count()});

    text.family("kelvantor_backend_probe_seconds", "histogram",
                "Round trip of RCPT TO probes that went out, in seconds.");
    for (std::size_t i = 0; i < bucket_count; ++i) {
        text.sample("kelvantor_backend_probe_seconds_bucket", "le", probe_bucket_bounds[i],
                    s.cumulative[i]);
    }
    text.sample("kelvantor_backend_probe_seconds_bucket", "le", "+Inf", s.cumulative[bucket_count]);
    text.sample("kelvantor_backend_probe_seconds_sum", s.round_trip_seconds);
    text.sample("kelvantor_backend_probe_seconds_count", s.cumulative[bucket_count]);

    text.family("kelvantor_cache_entries", "gauge",
                "Verdicts held in the cache, by class (expired ones not yet freed included).");
    text.sample("kelvantor_cache_entries", "class", "valid", std::uint64_t{s.cache.valid});
    text.sample("kelvantor_cache_entries", "class", "invalid", std::uint64_t{s.cache.invalid});

    text.family("kelvantor_cache_evictions_total", "counter",
                "Verdicts removed to keep the cache within its bound.");
    text.sample("kelvantor_cache_evictions_total", s.cache.evictions);

    text.family("kelvantor_cache_saves_total", "counter", "Saves of the cache file, by result.");
    text.sample("kelvantor_cache_saves_total", "result", "ok", s.saves.ok);
    text.sample("kelvantor_cache_saves_total", "result", "error", s.saves.errors);

    text.family("kelvantor_cache_last_save_timestamp_seconds", "gauge",
                "Unix time of the last successful cache save; 0: none yet.");
    text.sample("kelvantor_cache_last_save_timestamp_seconds", s.saves.last_save_unix);

    text.family("kelvantor_cache_save_interval_seconds", "gauge",
                "Seconds between periodic saves of the cache file; 0: none.");
    text.sample("kelvantor_cache_save_interval_seconds", s.save_interval);

    text.family("kelvantor_shared_cache_operations_total", "counter",
                "Operations on the shared verdict store by outcome. error: refused, a wrong type "
                "or unreadable value, or not tried while the store is unavailable; dropped: "
                "writes the full queue did not take.");
    for (std::size_t op = 0; op < 3; ++op) {
        for (std::size_t result = 0; result < 5; ++result) {
            text.labelled_sample(
                "kelvantor_shared_cache_operations_total",
                {{"op", shared_op_labels[op]}, {"result", shared_result_labels[result]}},
                s.shared[op][result]);
        }
    }
    text.family("kelvantor_shared_push_messages_total", "counter",
                "Messages on the fleet's push channel: sent by this filter, applied, own "
                "(dropped), ignored (expired, or a local verdict stands), malformed.");
    for (std::size_t result = 0; result < 5; ++result) {
        text.sample("kelvantor_shared_push_messages_total", "result", push_labels[result],
                    s.pushes[result]);
    }
    if (s.shared_state >= 0) {
        text.family("kelvantor_shared_cache_up", "gauge",
                    "1 while the shared verdict store answers, 0 while it is unavailable.");
        text.sample("kelvantor_shared_cache_up", std::int64_t{s.shared_state});
    }

    text.family("kelvantor_config_reloads_total", "counter",
                "Reloads of the configuration (SIGHUP, kelvantorctl reload): ok taken, error "
                "refused with the running configuration kept.");
    text.sample("kelvantor_config_reloads_total", "result", "ok", s.reloads_ok);
    text.sample("kelvantor_config_reloads_total", "result", "error", s.reloads_error);
    text.family("kelvantor_config_last_reload_success_timestamp_seconds", "gauge",
                "Unix time of the last reload taken; 0: none since start.");
    text.sample("kelvantor_config_last_reload_success_timestamp_seconds", s.last_reload_unix);

    if (!s.version.empty()) {
        text.family("kelvantor_build_info", "gauge", "Always 1; the version as a label.");
        text.sample("kelvantor_build_info", "version", s.version, std::uint64_t{1});
        text.family("process_start_time_seconds", "gauge",
                    "Start time of the process since the Unix epoch, in seconds.");
        text.sample("process_start_time_seconds", s.start_unix);
    }
    text.family("kelvantor_backend_closes_total", "counter",
                "Backend conversations ended in the background: done (RSET and QUIT answered), "
                "unanswered (a command not sent or not answered in time, closed all the same), "
                "dropped (closed without a word: the queue was full, or left at exit).");
    text.sample("kelvantor_backend_closes_total", "result", "done", s.closes.done);
    text.sample("kelvantor_backend_closes_total", "result", "unanswered", s.closes.unanswered);
    text.sample("kelvantor_backend_closes_total", "result", "dropped", s.closes.dropped);
    text.family("kelvantor_backend_closes_pending", "gauge",
                "Backend conversations being ended in the background now.");
    text.sample("kelvantor_backend_closes_pending", s.closes.pending);
    return std::move(text.out);
}

}  // namespace kelvantor
