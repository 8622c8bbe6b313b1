// The shared verdict store's lookups, purges and the stored form of a
// verdict.  A lookup or purge runs on the caller's thread with a link from
// the idle list (or a new one), bounded by the timeout; a timeout or a
// failed connection marks the store down until the writer's next probe
// answers, and until then callers are turned away at once.
#include "shared/shared_store.h"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <mutex>

#include "cache/verdict_cache.h"
#include "common/log.h"
#include "common/quiet_thread.h"
#include "metrics/metrics.h"
#include "shared/push_subscriber.h"
#include "shared/sentinel.h"
#include "shared/store_state.h"

namespace kelvantor {
namespace shared_detail {

store_state& store() {
    static auto* const state = new store_state;  // never destroyed: see the header
    return *state;
}

void mark_down(std::string_view why) {
    store_state& s = store();
    s.generation.fetch_add(1, std::memory_order_relaxed);
    if (s.state.exchange(availability::down) == availability::down) return;
    set_shared_cache_state(0);
    log_msg(LOG_WARNING, "shared cache unavailable");
    log_msg(LOG_NOTICE, "shared cache error: %s", printable_excerpt(why, 128).c_str());
    // Taken and given up so that the writer, between its test of the state
    // and its wait, cannot miss the wake-up.
    { const std::lock_guard hold(s.queue_mutex); }
    s.wake.notify_one();
}

void mark_down(std::string_view why, std::uint64_t epoch) {
    if (store().master_epoch.load() == epoch) mark_down(why);
}

void mark_up() {
    store_state& s = store();
    if (s.state.exchange(availability::up) == availability::up) return;
    set_shared_cache_state(1);
    log_msg(LOG_INFO, "shared cache available");
}

namespace {

void tell_observers(const redis_endpoint& where) {
    store_state& s = store();
    std::vector<std::function<void(const redis_endpoint&)>> observers;
    try {
        const std::lock_guard hold(s.observer_mutex);
        observers = s.master_observers;
    } catch (const std::bad_alloc&) {
        log_msg(LOG_ERR, "shared cache: out of memory telling of the master");
        return;
    }
    for (const auto& observer : observers) observer(where);
}

// Links to the server of before are closed, not reused; the writer (if
// asked) probes the one in force at once, and the observers are told of it.
void leave_old_server(const redis_endpoint& where, bool wake_writer) {
    store_state& s = store();
    {
        const std::lock_guard hold(s.idle_mutex);
        s.idle.clear();
    }
    if (wake_writer) {
        {
            const std::lock_guard hold(s.queue_mutex);
            s.reconnect = true;
        }
        s.wake.notify_one();
    }
    tell_observers(where);
}

}  // namespace

redis_endpoint master_endpoint() {
    store_state& s = store();
    const std::lock_guard hold(s.endpoint_mutex);
    return s.endpoint;
}

void point_at_master(const redis_endpoint& where, bool wake_writer) {
    store_state& s = store();
    {
        const std::lock_guard hold(s.endpoint_mutex);
        if (s.endpoint.host == where.host && s.endpoint.port == where.port &&
            s.endpoint.unix_socket == where.unix_socket) {
            return;
        }
        s.endpoint = where;
        s.master_epoch.fetch_add(1);
        s.generation.fetch_add(1, std::memory_order_relaxed);
    }
    const std::string shown = printable_excerpt(where.host, 128);
    if (where.unix_socket) {
        log_msg(LOG_NOTICE, "shared cache master is now %s", shown.c_str());
    } else {
        log_msg(LOG_NOTICE, "shared cache master is now %s:%d", shown.c_str(), where.port);
    }
    leave_old_server(where, wake_writer);
}

void on_master_change(std::function<void(const redis_endpoint&)> observer) {
    store_state& s = store();
    const std::lock_guard hold(s.observer_mutex);
    s.master_observers.push_back(std::move(observer));
}

std::unique_ptr<redis_link> take_link(deadline by, link_status& status, bool& reused) {
    store_state& s = store();
    status = link_status::failed;
    reused = false;
    if (s.state.load() == availability::down) return nullptr;
    const std::uint64_t generation = s.generation.load(std::memory_order_relaxed);
    std::unique_ptr<redis_link> link;
    {
        const std::lock_guard hold(s.idle_mutex);
        while (!s.idle.empty() && !link) {
            if (s.idle.back().generation == generation) link = std::move(s.idle.back().link);
            s.idle.pop_back();  // a link of an older generation is closed here
        }
    }
    if (link) {
        status = link_status::done;
        reused = true;
        return link;
    }
    return open_link(by, status);
}

std::unique_ptr<redis_link> open_link(deadline by, link_status& status) {
    store_state& s = store();
    const redis_endpoint where = master_endpoint();
    status = link_status::failed;
    if (where.host.empty()) {
        mark_down("no Sentinel has named the master");
        return nullptr;
    }
    auto link = std::make_unique<redis_link>();
    std::string error;
    status = link->open(where, s.config.get()->password, by, error);
    if (status != link_status::done) {
        mark_down(error);
        return nullptr;
    }
    return link;
}

link_status exchange_on(std::unique_ptr<redis_link>& link, bool may_be_stale,
                        std::span<const redis_command> commands, std::vector<redis_reply>& replies,
                        deadline by, reply_limits limits) {
    link_status status = link_status::done;
    // Bytes that came while the link idled answer nothing asked: they
    // would be read as the replies to these commands.
    if (may_be_stale && !link->quiet()) {
        may_be_stale = false;
        link = open_link(by, status);
        if (!link) return status;
    }
    status = link->exchange(commands, replies, by, limits);
    if (may_be_stale && status == link_status::failed) {
        link = open_link(by, status);
        if (link) status = link->exchange(commands, replies, by, limits);
    }
    return status;
}

void keep_link(std::unique_ptr<redis_link> link, std::uint64_t generation) {
    constexpr std::size_t most_idle = 64;
    store_state& s = store();
    const std::lock_guard hold(s.idle_mutex);
    // A link opened to the server or with the password of before a change.
    if (generation != s.generation.load(std::memory_order_relaxed)) return;
    if (s.idle.size() < most_idle) s.idle.push_back({generation, std::move(link)});
}

void forget_queued_verdicts(const shared_predicate& remove) {
    const auto config = store().config.get();
    forget_queued([&](const pending_write& write) {
        const auto verdict = parse_shared_value(write.value);
        const auto address = shared_key_address(config->prefix, write.key);
        return verdict && address && remove(verdict->status, *address);
    });
}

}  // namespace shared_detail

using namespace shared_detail;

namespace {

shared_result failure_result(link_status status) {
    return status == link_status::timeout ? shared_result::timeout : shared_result::error;
}

// What a batch of GET or DEL replies may take; a SCAN batch (COUNT 1000
// keys of at most some 400 bytes; Redis may return a few more).
constexpr reply_limits batch_limits{.bytes = std::size_t{1} << 20, .elements = 0};
constexpr reply_limits scan_limits{.bytes = std::size_t{2} << 20, .elements = 65536};

// One exchange on a link of the idle list, counted under op (if any) when
// it fails; the link goes back to the list when it stays in step.
bool exchange(std::optional<shared_op> op, std::span<const redis_command> commands,
              std::vector<redis_reply>& replies, reply_limits limits = {}) {
    const std::uint64_t generation = store().generation.load(std::memory_order_relaxed);
    const std::uint64_t epoch = store().master_epoch.load();
    const deadline by = std::chrono::steady_clock::now() + store().config.get()->timeout;
    link_status status = link_status::failed;
    bool reused = false;
    std::unique_ptr<redis_link> link = take_link(by, status, reused);
    if (link) status = exchange_on(link, reused, commands, replies, by, limits);
    if (status != link_status::done) {
        if (link) {
            mark_down(status == link_status::timeout ? "no answer in time" : link->last_error(),
                      epoch);
        }
        if (op) count_shared(*op, failure_result(status), commands.size());
        return false;
    }
    keep_link(std::move(link), generation);
    return true;
}

bool is_integer(const redisReply& reply) {
    return reply.type == REDIS_REPLY_INTEGER;
}

// Tells the fleet's other filters of a purge, after it was done in the
// store (so that none of them finds the verdict there again).
void announce_purge(push_kind kind, std::string_view subject) {
    const auto config = store().config.get();
    if (!config->push || store().state.load() == availability::down) return;
    const auto text = publishable_push({push_gateway_id(), kind, 0, subject});
    if (!text) return;  // a subject no filter would take
    const std::string channel = push_channel(config->prefix);
    const redis_command publish{"PUBLISH", channel, *text};
    std::vector<redis_reply> replies;
    if (exchange(std::nullopt, {&publish, 1}, replies) && is_integer(*replies.front())) {
        count_push(push_result::sent);
    }
}

// A glob pattern matching the keys made with the prefix: the prefix
// literally, then "<", anything, ">" (keys of a longer prefix match too).
std::string key_pattern(std::string_view prefix) {
    std::string pattern;
    for (const char c : prefix) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern + "<*>";
}

// The verdicts of one SCAN batch, read with one pipelined GET, and the keys
// among them that remove picks, deleted with one pipelined DEL.
bool purge_batch(const std::vector<std::string>& keys, const shared_predicate& remove,
                 shared_purge_result& result, std::string_view prefix) {
    std::vector<redis_command> gets;
    gets.reserve(keys.size());
    for (const std::string& key : keys) gets.push_back({"GET", key});
    std::vector<redis_reply> values;
    if (!exchange(shared_op::get, gets, values, batch_limits)) return false;
    std::vector<redis_command> dels;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (values[i]->type != REDIS_REPLY_STRING) continue;
        const auto verdict = parse_shared_value(text_of(*values[i]));
        if (!verdict) continue;
        const auto address = shared_key_address(prefix, keys[i]);
        if (address && remove(verdict->status, *address)) dels.push_back({"DEL", keys[i]});
    }
    if (dels.empty()) return true;
    std::vector<redis_reply> removed;
    if (!exchange(shared_op::del, dels, removed, batch_limits)) return false;
    for (const redis_reply& reply : removed) {
        if (is_integer(*reply)) result.removed += static_cast<std::size_t>(reply->integer);
    }
    count_shared(shared_op::del, shared_result::ok, dels.size());
    return true;
}

}  // namespace

bool shared_store_enabled() noexcept {
    return store().enabled.load(std::memory_order_relaxed);
}

std::optional<std::string> shared_key(std::string_view prefix, std::string_view address) {
    if (address.find_first_of("<>") != std::string_view::npos) return std::nullopt;
    std::string key;
    key.reserve(prefix.size() + address.size() + 2);
    key.append(prefix).push_back('<');
    for (const char c : address) key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    key.push_back('>');
    return key;
}

std::optional<std::string_view> shared_key_address(std::string_view prefix, std::string_view key) {
    if (!key.starts_with(prefix)) return std::nullopt;
    const std::string_view rest = key.substr(prefix.size());
    if (rest.size() < 2 || rest.front() != '<' || rest.back() != '>') return std::nullopt;
    const std::string_view address = rest.substr(1, rest.size() - 2);
    if (address.find_first_of("<>") != std::string_view::npos) return std::nullopt;
    return address;
}

std::string shared_value(std::uint32_t status, std::int64_t learnt_unix) {
    return std::to_string(status) + " " + std::to_string(learnt_unix);
}

std::optional<stored_verdict> parse_shared_value(std::string_view value) {
    const auto blank = value.find(' ');
    if (blank != 1 || (value[0] != '0' && value[0] != '1')) return std::nullopt;
    const std::string_view seconds = value.substr(2);
    if (seconds.empty() || seconds.size() > 18 ||
        !std::all_of(seconds.begin(), seconds.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t learnt = 0;
    std::from_chars(seconds.data(), seconds.data() + seconds.size(), learnt);
    return stored_verdict{static_cast<std::uint32_t>(value[0] - '0'), learnt};
}

std::optional<shared_verdict> shared_lookup(std::string_view address) {
    if (!shared_store_enabled() || address.size() > longest_cached_address) return std::nullopt;
    if (store().state.load() == availability::down) {
        count_shared(shared_op::get, shared_result::error);
        return std::nullopt;
    }
    const auto key = shared_key(store().config.get()->prefix, address);
    if (!key) return std::nullopt;
    const redis_command get{"GET", *key};
    std::vector<redis_reply> replies;
    if (!exchange(shared_op::get, {&get, 1}, replies)) return std::nullopt;
    const redisReply& reply = *replies.front();
    if (reply.type == REDIS_REPLY_NIL) {
        count_shared(shared_op::get, shared_result::miss);
        return std::nullopt;
    }
    // A key of another type (WRONGTYPE) or a value that is not a verdict.
    const auto verdict =
        reply.type == REDIS_REPLY_STRING ? parse_shared_value(text_of(reply)) : std::nullopt;
    if (!verdict) {
        count_shared(shared_op::get, shared_result::error);
        return std::nullopt;
    }
    count_shared(shared_op::get, shared_result::ok);
    const std::int64_t now =
        std::chrono::floor<std::chrono::seconds>(wall_now().time_since_epoch()).count();
    return shared_verdict{verdict->status, std::max<std::int64_t>(0, now - verdict->learnt_unix)};
}

shared_purge_result shared_purge(std::string_view address) {
    shared_purge_result result;
    if (!shared_store_enabled()) return result;
    const auto key = shared_key(store().config.get()->prefix, address);
    if (!key) {
        result.reached = true;  // never stored
        return result;
    }
    // A verdict still waiting for the writer would come back after the purge.
    forget_queued([&](const pending_write& write) { return write.key == *key; });
    if (store().state.load() == availability::down) {
        count_shared(shared_op::del, shared_result::error);
        return result;
    }
    const redis_command del{"DEL", *key};
    std::vector<redis_reply> replies;
    if (!exchange(shared_op::del, {&del, 1}, replies)) return result;
    if (!is_integer(*replies.front())) {
        count_shared(shared_op::del, shared_result::error);
        return result;
    }
    count_shared(shared_op::del, shared_result::ok);
    result.reached = true;
    result.removed = static_cast<std::size_t>(replies.front()->integer);
    announce_purge(push_kind::purge_address, address);
    return result;
}

shared_purge_result shared_purge_if(const shared_predicate& remove,
                                    std::optional<purge_notice> notice) {
    shared_purge_result result;
    if (!shared_store_enabled()) return result;
    const auto config = store().config.get();
    const std::string& prefix = config->prefix;
    forget_queued_verdicts(remove);
    if (store().state.load() == availability::down) return result;
    const std::string pattern = key_pattern(prefix);
    std::string cursor = "0";
    do {
        const redis_command scan{"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"};
        std::vector<redis_reply> replies;
        // The SCAN itself is counted as a get.
        if (!exchange(shared_op::get, {&scan, 1}, replies, scan_limits)) return result;
        const redisReply& reply = *replies.front();
        if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 2 ||
            reply.element[0]->type != REDIS_REPLY_STRING ||
            reply.element[1]->type != REDIS_REPLY_ARRAY) {
            count_shared(shared_op::get, shared_result::error);
            return result;
        }
        count_shared(shared_op::get, shared_result::ok);
        cursor = text_of(*reply.element[0]);
        std::vector<std::string> keys;
        const redisReply& found = *reply.element[1];
        for (std::size_t i = 0; i < found.elements; ++i) {
            if (found.element[i]->type == REDIS_REPLY_STRING) {
                keys.emplace_back(text_of(*found.element[i]));
            }
        }
        if (!keys.empty() && !purge_batch(keys, remove, result, prefix)) return result;
    } while (cursor != "0");
    result.reached = true;
    if (notice) announce_purge(notice->kind, notice->subject);
    return result;
}

void shared_publish(std::string_view address, std::uint32_t status, wall_time learnt) {
    if (!shared_store_enabled() || status > VERDICT_INVALID ||
        address.size() > longest_cached_address) {
        return;
    }
    const auto config = store().config.get();
    const auto lifetime =
        status == VERDICT_VALID ? config->valid_lifetime : config->invalid_lifetime;
    if (lifetime.count() <= 0) return;
    try {
        auto key = shared_key(config->prefix, address);
        if (!key) return;
        const std::int64_t learnt_unix =
            std::chrono::floor<std::chrono::seconds>(learnt.time_since_epoch()).count();
        // Also while the store is down: the writer sends it once the store is back.
        enqueue(
            {std::move(*key), shared_value(status, learnt_unix), learnt_unix, lifetime.count()});
    } catch (const std::bad_alloc&) {
        count_shared(shared_op::set, shared_result::dropped);
    }
}

bool shared_store_start(const shared_store_config& config) {
    // hiredis writes with write(2): a store that closed its end must give
    // an error, not a SIGPIPE that ends the process (libmilter ignores the
    // signal too, once smfi_main runs).
    std::signal(SIGPIPE, SIG_IGN);
    store_state& s = store();
    shared_store_config copy = config;
    if (!s.config.replace(std::move(copy))) return false;
    // Before any connection thread may look up.
    if (config.sentinels.empty()) {
        s.endpoint = {config.host, config.port, config.unix_socket};
        resolve_endpoint();
    } else {
        s.endpoint = {};
        locate_master(false);
    }
    s.state = availability::unknown;
    {
        const std::lock_guard hold(s.queue_mutex);
        s.stopping = false;
        s.reconnect = false;
        s.queue.clear();
    }
    set_shared_cache_state(0);
    try {
        s.writer = start_quiet_thread(run_writer);
    } catch (const std::exception&) {
        log_msg(LOG_ERR, "shared cache: cannot start the writer thread");
        return false;
    }
    if (!config.sentinels.empty() && !start_sentinel_watch()) {
        log_msg(LOG_ERR, "shared cache: cannot start the Sentinel watch thread");
        return false;
    }
    if (config.push) {
        // A new master: the subscription moves there at once.
        static std::once_flag observing;
        std::call_once(observing, [] {
            on_master_change([](const redis_endpoint&) { push_subscriber_request_reconnect(); });
        });
        if (!push_subscriber_start()) return false;
    }
    s.enabled = true;
    return true;
}

bool shared_store_reconfigure(const shared_store_config& config) {
    store_state& s = store();
    if (!shared_store_enabled()) return false;
    const auto running = s.config.get();
    const bool relink = config.host != running->host || config.port != running->port ||
                        config.unix_socket != running->unix_socket ||
                        config.password != running->password || config.timeout != running->timeout;
    const bool changed = relink || config.prefix != running->prefix ||
                         config.valid_lifetime != running->valid_lifetime ||
                         config.invalid_lifetime != running->invalid_lifetime ||
                         config.queue_limit != running->queue_limit;
    if (!changed) return true;
    try {
        shared_store_config copy = config;
        copy.push = running->push;  // the subscriber runs from start to end
        if (!s.config.replace(std::move(copy))) return false;
        if (relink) {
            // With Sentinels the master stays the one they named.
            if (config.sentinels.empty()) {
                {
                    const std::lock_guard hold(s.endpoint_mutex);
                    s.endpoint = {config.host, config.port, config.unix_socket};
                }
                resolve_endpoint();
            }
            // Links of the old server or password are closed, not reused;
            // lookups try the new server until the writer's probe says.
            s.master_epoch.fetch_add(1);
            s.generation.fetch_add(1, std::memory_order_relaxed);
            s.state = availability::unknown;
            leave_old_server(master_endpoint(), true);  // the push subscriber follows
        } else if (running->push && config.prefix != running->prefix) {
            push_subscriber_request_reconnect();  // on the new prefix's channel
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    log_msg(LOG_INFO, "shared cache settings reloaded");
    return true;
}

void shared_store_stop() {
    store_state& s = store();
    if (!s.writer.joinable()) return;
    stop_sentinel_watch();
    push_subscriber_stop();
    {
        const std::lock_guard hold(s.queue_mutex);
        s.stopping = true;
    }
    s.wake.notify_one();
    s.writer.join();
    s.enabled = false;
    set_shared_cache_state(-1);
    const std::lock_guard hold(s.idle_mutex);
    s.idle.clear();
}

}  // namespace kelvantor
