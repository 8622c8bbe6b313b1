// Asking the Sentinels for the master, and following their failovers.
#include "shared/sentinel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/quiet_thread.h"
#include "shared/store_state.h"

namespace kelvantor::shared_detail {
namespace {

using std::chrono::steady_clock;
constexpr std::string_view switch_channel = "+switch-master";
// An address reply or a message: a few short strings.
constexpr reply_limits address_limits{.bytes = 4096, .elements = 2};
constexpr reply_limits message_limits{.bytes = 4096, .elements = 3};
// How often the watch looks up from its Sentinel to see whether it is to stop.
constexpr std::chrono::milliseconds listen_slice{250};
constexpr std::chrono::milliseconds first_backoff{100};
constexpr std::chrono::milliseconds longest_backoff{3200};

// A host name or a numeric IPv4 or IPv6 address, as a Sentinel announces it.
bool plausible_host(std::string_view host) {
    return !host.empty() && host.size() <= 253 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == ':' || c == '_';
    });
}

// 1 to 65535 in decimal, no sign, no leading blank.
std::optional<int> port_of(std::string_view text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    int port = 0;
    for (const char c : text) port = port * 10 + (c - '0');
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

std::optional<redis_endpoint> endpoint_of(std::string_view host, std::string_view port) {
    const auto number = port_of(port);
    if (!plausible_host(host) || !number) return std::nullopt;
    return redis_endpoint{std::string(host), *number, false};
}

// The endpoint with its host resolved to a numeric address (connection
// threads open links to it and must not wait on the resolver).
std::optional<redis_endpoint> numeric(redis_endpoint where) {
    auto address = numeric_address(where.host);
    if (!address) return std::nullopt;
    where.host = std::move(*address);
    return where;
}

std::string sentinel_name(const shared_sentinel& sentinel) {
    return printable_excerpt(sentinel.host, 64) + ":" + std::to_string(sentinel.port);
}

struct watch_state {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::atomic<bool> unnamed{false};  // the last ask found no master: logged once
};

watch_state& watch() {
    static auto* const state = new watch_state;  // never destroyed, as the store's
    return *state;
}

// Opens a link to the Sentinel and subscribes it to the failover messages.
bool subscribe(redis_link& link, const shared_sentinel& sentinel, const shared_store_config& config,
               std::string& error) {
    const deadline by = steady_clock::now() + config.timeout;
    if (link.open({sentinel.host, sentinel.port, false}, config.sentinel_password, by, error) !=
        link_status::done) {
        return false;
    }
    const redis_command command{"SUBSCRIBE", switch_channel};
    std::vector<redis_reply> replies;
    if (link.exchange({&command, 1}, replies, by, message_limits) != link_status::done) {
        error = link.last_error();
        return false;
    }
    const redisReply& reply = *replies.front();
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 3 || !is_text(reply.element[0]) ||
        text_of(*reply.element[0]) != "subscribe") {
        error = reply.type == REDIS_REPLY_ERROR ? std::string(text_of(reply))
                                                : "unexpected reply to SUBSCRIBE";
        return false;
    }
    return true;
}

// Follows the Sentinel's messages until the link fails or the watch stops.
void listen(redis_link& link, const shared_sentinel& sentinel, const shared_store_config& config) {
    watch_state& w = watch();
    subscription_heartbeat heartbeat(config.timeout);  // a hung Sentinel is left too
    while (!w.stopping.load()) {
        std::string gone;
        redis_reply message;
        link_status status = heartbeat.check(link, gone);
        if (status == link_status::done) {
            status = link.next_pushed(message, steady_clock::now() + listen_slice, message_limits);
        }
        if (status == link_status::timeout) continue;
        if (status != link_status::done) {
            log_msg(LOG_NOTICE, "shared cache: Sentinel %s lost: %s",
                    sentinel_name(sentinel).c_str(),
                    printable_excerpt(gone.empty() ? link.last_error() : gone, 128).c_str());
            return;
        }
        heartbeat.heard();
        const auto moved = parse_switch_master(*message, config.master_name);
        if (!moved) continue;
        if (const auto where = numeric(*moved)) point_at_master(*where, true);
    }
}

void run_watch() {
    watch_state& w = watch();
    std::size_t next = 0;
    std::size_t refused = 0;  // subscriptions that failed in a row
    auto backoff = first_backoff;
    while (!w.stopping.load()) {
        const auto config = store().config.get();
        if (config->sentinels.empty()) return;
        const shared_sentinel& sentinel = config->sentinels[next % config->sentinels.size()];
        redis_link link;
        std::string error;
        if (subscribe(link, sentinel, *config, error)) {
            refused = 0;
            backoff = first_backoff;
            log_msg(LOG_INFO, "shared cache: following Sentinel %s",
                    sentinel_name(sentinel).c_str());
            // A switch may have gone by while no Sentinel was listened to.
            locate_master(true);
            listen(link, sentinel, *config);
        } else if (++refused == config->sentinels.size()) {
            // Once per round of them all; a failover is then found only
            // when the store fails and the writer asks the Sentinels.
            log_msg(LOG_WARNING, "shared cache: cannot follow any Sentinel: %s %s",
                    sentinel_name(sentinel).c_str(), printable_excerpt(error, 128).c_str());
        }
        ++next;
        std::unique_lock hold(w.mutex);
        w.wake.wait_for(hold, backoff, [&] { return w.stopping.load(); });
        backoff = std::min(backoff * 2, longest_backoff);
    }
}

}  // namespace

std::optional<redis_endpoint> parse_master_address(const redisReply& reply) {
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 2 || !is_text(reply.element[0]) ||
        !is_text(reply.element[1])) {
        return std::nullopt;
    }
    return endpoint_of(text_of(*reply.element[0]), text_of(*reply.element[1]));
}

std::optional<redis_endpoint> parse_switch_master(const redisReply& message,
                                                  std::string_view name) {
    if (message.type != REDIS_REPLY_ARRAY || message.elements != 3 ||
        !is_text(message.element[0]) || !is_text(message.element[1]) ||
        message.element[2]->type != REDIS_REPLY_STRING ||
        text_of(*message.element[0]) != "message" ||
        text_of(*message.element[1]) != switch_channel) {
        return std::nullopt;
    }
    // Five words, one blank between each.
    std::string_view rest = text_of(*message.element[2]);
    std::string_view words[5];
    for (std::size_t i = 0; i < 5; ++i) {
        const auto blank = rest.find(' ');
        if ((blank == std::string_view::npos) != (i == 4)) return std::nullopt;
        words[i] = rest.substr(0, blank);
        if (words[i].empty()) return std::nullopt;
        if (i < 4) rest.remove_prefix(blank + 1);
    }
    if (words[0] != name || !endpoint_of(words[1], words[2])) return std::nullopt;
    return endpoint_of(words[3], words[4]);
}

bool is_master_role(const redisReply& reply) {
    return reply.type == REDIS_REPLY_ARRAY && reply.elements >= 1 && is_text(reply.element[0]) &&
           text_of(*reply.element[0]) == "master";
}

std::optional<redis_endpoint> ask_sentinels(const shared_store_config& config, std::string& error) {
    error = "no Sentinel configured";
    const redis_command command{"SENTINEL", "get-master-addr-by-name", config.master_name};
    for (const shared_sentinel& sentinel : config.sentinels) {
        const deadline by = steady_clock::now() + config.timeout;
        redis_link link;
        std::string why;
        std::vector<redis_reply> replies;
        if (link.open({sentinel.host, sentinel.port, false}, config.sentinel_password, by, why) !=
            link_status::done) {
            error = "Sentinel " + sentinel_name(sentinel) + ": " + why;
            continue;
        }
        const link_status status = link.exchange({&command, 1}, replies, by, address_limits);
        if (status != link_status::done) {
            error = "Sentinel " + sentinel_name(sentinel) + ": " +
                    (status == link_status::timeout ? "no answer in time" : link.last_error());
            continue;
        }
        const auto named = parse_master_address(*replies.front());
        auto where = named ? numeric(*named) : std::nullopt;
        if (where) return where;
        error = "Sentinel " + sentinel_name(sentinel) + ": " +
                (named ? "master host does not resolve" : "no address for the master");
    }
    return std::nullopt;
}

void locate_master(bool wake_writer) {
    const auto config = store().config.get();
    if (config->sentinels.empty()) {
        resolve_endpoint();
        return;
    }
    std::string error;
    const auto where = ask_sentinels(*config, error);
    watch_state& w = watch();
    if (!where) {
        if (!w.unnamed.exchange(true)) {
            log_msg(LOG_WARNING, "shared cache: no Sentinel names master %s: %s",
                    printable_excerpt(config->master_name, 128).c_str(),
                    printable_excerpt(error, 200).c_str());
        }
        return;
    }
    w.unnamed = false;
    point_at_master(*where, wake_writer);
}

bool start_sentinel_watch() {
    watch_state& w = watch();
    w.stopping = false;
    try {
        w.thread = start_quiet_thread(run_watch);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void stop_sentinel_watch() {
    watch_state& w = watch();
    if (!w.thread.joinable()) return;
    {
        const std::lock_guard hold(w.mutex);
        w.stopping = true;
    }
    w.wake.notify_one();
    w.thread.join();
}

}  // namespace kelvantor::shared_detail
