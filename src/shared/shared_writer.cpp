// The writer thread of the shared verdict store: it sends queued verdicts in
// pipelined batches (SET ... EX remaining NX: the verdict learnt first stays,
// as in the in-process cache), and while the store is down it probes it
// with PING, backing off from 100 ms to 3.2 s between tries.  Verdicts
// learnt meanwhile wait in the bounded queue (the oldest dropped first when
// it is full) and go out once the store is back, with what is left of
// their lifetime; one whose lifetime ran out while it waited is not written.
// A batch that fails is put back, up to three times; a purge waits for the
// batch in flight, so that none it removes comes back.
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <iterator>
#include <vector>

#include "cache/verdict_cache.h"
#include "common/log.h"
#include "metrics/metrics.h"
#include "shared/push_subscriber.h"
#include "shared/sentinel.h"
#include "shared/store_state.h"

namespace kelvantor::shared_detail {
namespace {

using std::chrono::steady_clock;
constexpr std::chrono::milliseconds first_backoff{100};
constexpr std::chrono::milliseconds longest_backoff{3200};
constexpr std::size_t batch_limit = 256;
// How long the writer gathers verdicts before it sends them (unless a whole
// batch is queued sooner): at a few thousand misses a second, one wake-up
// and one round trip for dozens of verdicts instead of one each.
constexpr std::chrono::milliseconds gather_time{5};
constexpr int most_tries = 3;

// Drops the oldest writes beyond the limit; under queue_mutex.  The number dropped.
std::size_t trim(store_state& s) {
    std::size_t dropped = 0;
    const std::size_t limit = s.config.get()->queue_limit;
    while (s.queue.size() > limit) {
        s.queue.pop_front();
        ++dropped;
    }
    return dropped;
}

std::int64_t unix_now() {
    return std::chrono::floor<std::chrono::seconds>(wall_now().time_since_epoch()).count();
}

}  // namespace

std::optional<std::string> numeric_address(const std::string& host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return std::nullopt;
    char numeric[NI_MAXHOST];
    const int error = getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric,
                                  nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(found);
    if (error != 0) return std::nullopt;
    return std::string(numeric);
}

// A host name is resolved again before each probe, so that a store that
// moved (a failover behind a DNS name) is found; connection threads then
// connect to the numeric address and never wait on the resolver.
void resolve_endpoint() {
    store_state& s = store();
    const auto config = s.config.get();
    if (config->unix_socket) return;
    const auto numeric = numeric_address(config->host);
    if (!numeric) return;
    const std::lock_guard hold(s.endpoint_mutex);
    // Not when a reload put another server in force meanwhile.
    if (s.config.get() == config) s.endpoint.host = *numeric;
}

namespace {

// Opens the writer's link and checks that the store answers PING (and, a
// master named by Sentinels, that ROLE says it is still one: a demoted
// master takes no writes); error is left empty when the link could not be
// opened (open_link told why).
bool probe(std::unique_ptr<redis_link>& link, std::string& error) {
    locate_master(false);
    const auto config = store().config.get();
    const bool sentinels = !config->sentinels.empty();
    const deadline by = steady_clock::now() + config->timeout;
    link_status opened = link_status::failed;
    link = open_link(by, opened);
    if (!link) return false;
    std::vector<redis_command> commands{{"PING"}};
    if (sentinels) commands.push_back({"ROLE"});
    std::vector<redis_reply> replies;
    const link_status answered =
        link->exchange(commands, replies, by, {.elements = sentinels ? 4096U : 0U});
    if (answered != link_status::done) {
        error = answered == link_status::timeout ? "no answer to PING in time" : link->last_error();
        return false;
    }
    if (replies.front()->type != REDIS_REPLY_STATUS) {
        error = replies.front()->type == REDIS_REPLY_ERROR
                    ? std::string(replies.front()->str, replies.front()->len)
                    : "unexpected reply to PING";
        return false;
    }
    if (sentinels && !is_master_role(*replies.back())) {
        error = "the server named as master is not one (ROLE)";
        return false;
    }
    return true;
}

// What is left of the write's lifetime at now (its age counts, so that it
// ends in the store when it ends in the cache that learnt it).
std::int64_t remaining(const pending_write& write, std::int64_t now) {
    return write.lifetime - std::max<std::int64_t>(0, now - write.learnt);
}

// With Sentinels, a SET refused as READONLY: the server is a replica now.
bool demoted_master(const std::vector<redis_reply>& replies) {
    if (store().config.get()->sentinels.empty()) return false;
    return std::any_of(replies.begin(), replies.end(), [](const redis_reply& reply) {
        return reply->type == REDIS_REPLY_ERROR && text_of(*reply).starts_with("READONLY");
    });
}

// Sends the batch, less the writes whose lifetime ran out while they waited.
// A batch that fails goes back to the queue's front for the next link (SET
// NX may be repeated), less the writes that failed most_tries times.
void send(std::unique_ptr<redis_link>& link, std::vector<pending_write>& batch) {
    const std::int64_t now = unix_now();
    const std::size_t expired = std::erase_if(
        batch, [now](const pending_write& write) { return remaining(write, now) <= 0; });
    count_shared(shared_op::set, shared_result::dropped, expired);
    if (batch.empty()) return;
    const auto config = store().config.get();
    std::vector<std::string> lifetimes;
    lifetimes.reserve(batch.size());
    std::vector<redis_command> commands;
    commands.reserve(batch.size() * (config->push ? 2 : 1));
    for (const pending_write& write : batch) {
        lifetimes.push_back(std::to_string(remaining(write, now)));
        commands.push_back({"SET", write.key, write.value, "EX", lifetimes.back(), "NX"});
    }
    // The fleet's other filters are told in the same round trip.
    const std::string channel = config->push ? push_channel(config->prefix) : std::string();
    std::vector<std::string> messages;
    if (config->push) {
        messages.reserve(batch.size());
        for (const pending_write& write : batch) {
            const auto verdict = parse_shared_value(write.value);
            const auto address = shared_key_address(config->prefix, write.key);
            if (!verdict || !address) continue;  // queued under the prefix of before a reload
            const push_kind kind =
                verdict->status == VERDICT_VALID ? push_kind::valid : push_kind::invalid;
            auto text = publishable_push({push_gateway_id(), kind, write.learnt, *address});
            if (!text) continue;  // an address no filter would take from the channel
            messages.push_back(std::move(*text));
            commands.push_back({"PUBLISH", channel, messages.back()});
        }
    }
    std::vector<redis_reply> replies;
    const std::uint64_t epoch = store().master_epoch.load();
    // The writer's link idles between batches; SET NX may be repeated.
    link_status status = exchange_on(link, true, commands, replies,
                                     steady_clock::now() + store().config.get()->timeout);
    // A master that a failover demoted: the writes go to the new one.
    const bool demoted = status == link_status::done && demoted_master(replies);
    if (demoted) status = link_status::failed;
    if (status != link_status::done) {
        count_shared(shared_op::set,
                     status == link_status::timeout ? shared_result::timeout : shared_result::error,
                     batch.size());
        if (link) {
            mark_down(status == link_status::timeout ? "no answer in time"
                      : demoted                      ? "the master is read-only now"
                                                     : link->last_error(),
                      epoch);
        }
        link.reset();
        std::erase_if(batch, [](pending_write& write) { return ++write.tries >= most_tries; });
        put_back(batch);
        return;
    }
    std::uint64_t stored = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        // NIL: a verdict for the address was there already and stays.
        if (replies[i]->type == REDIS_REPLY_STATUS || replies[i]->type == REDIS_REPLY_NIL) ++stored;
    }
    count_shared(shared_op::set, shared_result::ok, stored);
    count_shared(shared_op::set, shared_result::error, batch.size() - stored);
    const auto published =
        std::count_if(replies.begin() + static_cast<std::ptrdiff_t>(batch.size()), replies.end(),
                      [](const redis_reply& reply) { return reply->type == REDIS_REPLY_INTEGER; });
    count_push(push_result::sent, static_cast<std::uint64_t>(published));
}

// Sends up to batch_limit writes from the queue's front, under batch_mutex:
// a purge waits until they are in the store (its DEL comes after them) or
// back in the queue (it forgets them there).  False when none was queued.
bool send_next_batch(store_state& s, std::unique_ptr<redis_link>& link) {
    const std::lock_guard in_flight(s.batch_mutex);
    std::vector<pending_write> batch;
    {
        const std::lock_guard hold(s.queue_mutex);
        const std::size_t taken = std::min(batch_limit, s.queue.size());
        batch.reserve(taken);
        for (std::size_t i = 0; i < taken; ++i) {
            batch.push_back(std::move(s.queue.front()));
            s.queue.pop_front();
        }
    }
    if (batch.empty()) return false;
    send(link, batch);
    return true;
}

// The writes still queued when the writer ends, counted as not tried.
void give_up_queue(store_state& s) {
    std::size_t given_up = 0;
    {
        const std::lock_guard hold(s.queue_mutex);
        given_up = s.queue.size();
        s.queue.clear();
    }
    count_shared(shared_op::set, shared_result::error, given_up);
}

}  // namespace

void enqueue(pending_write write) {
    store_state& s = store();
    std::size_t dropped = 0;
    std::size_t queued = 0;
    {
        const std::lock_guard hold(s.queue_mutex);
        s.queue.push_back(std::move(write));
        dropped = trim(s);
        queued = s.queue.size();
    }
    count_shared(shared_op::set, shared_result::dropped, dropped);
    // While the store is down the writer waits for its next probe, not for
    // writes; while it gathers, only a whole batch makes it send at once.
    if (queued == 1 || queued == batch_limit) {
        if (s.state.load() != availability::down) s.wake.notify_one();
    }
}

void put_back(std::vector<pending_write>& batch) {
    store_state& s = store();
    std::size_t dropped = 0;
    {
        const std::lock_guard hold(s.queue_mutex);
        s.queue.insert(s.queue.begin(), std::make_move_iterator(batch.begin()),
                       std::make_move_iterator(batch.end()));
        dropped = trim(s);
    }
    batch.clear();
    count_shared(shared_op::set, shared_result::dropped, dropped);
}

void forget_queued(const std::function<bool(const pending_write&)>& forget) {
    store_state& s = store();
    const std::lock_guard no_batch_in_flight(s.batch_mutex);
    std::deque<pending_write> kept;
    {
        const std::lock_guard hold(s.queue_mutex);
        kept.swap(s.queue);
    }
    std::erase_if(kept, forget);
    std::size_t dropped = 0;
    {
        // Writes queued meanwhile are newer than the kept ones.
        const std::lock_guard hold(s.queue_mutex);
        for (pending_write& write : s.queue) kept.push_back(std::move(write));
        s.queue.swap(kept);
        dropped = trim(s);
    }
    count_shared(shared_op::set, shared_result::dropped, dropped);
    s.wake.notify_one();
}

void run_writer() {
    store_state& s = store();
    std::unique_ptr<redis_link> link;
    auto backoff = first_backoff;
    auto next_probe = steady_clock::now();
    for (;;) {
        if (s.state.load() != availability::up || !link) {
            link.reset();
            {
                // What is queued meanwhile waits for the store to be back.
                std::unique_lock hold(s.queue_mutex);
                s.wake.wait_until(hold, next_probe, [&] { return s.stopping || s.reconnect; });
                if (s.stopping) break;
                s.reconnect = false;
            }
            std::string error;
            if (probe(link, error)) {
                mark_up();
                backoff = first_backoff;
            } else {
                link.reset();
                mark_down(error);
                next_probe = steady_clock::now() + backoff;
                backoff = std::min(backoff * 2, longest_backoff);
            }
            continue;
        }
        bool stopping = false;
        {
            std::unique_lock hold(s.queue_mutex);
            s.wake.wait(hold, [&] {
                return s.stopping || s.reconnect || !s.queue.empty() ||
                       s.state.load() != availability::up;
            });
            if (s.reconnect) {
                // To the server and with the password a reload put in force.
                link.reset();
                backoff = first_backoff;
                next_probe = steady_clock::now();
                continue;
            }
            if (s.state.load() != availability::up) continue;
            s.wake.wait_for(hold, gather_time, [&] {
                return s.stopping || s.reconnect || s.queue.size() >= batch_limit ||
                       s.state.load() != availability::up;
            });
            if (s.reconnect || s.state.load() != availability::up) continue;
            stopping = s.stopping;
        }
        send_next_batch(s, link);
        if (!stopping) continue;
        // At stop: what is queued goes out within one more timeout.
        const auto flush_by = steady_clock::now() + s.config.get()->timeout;
        while (link && steady_clock::now() < flush_by && send_next_batch(s, link)) {
        }
        break;
    }
    give_up_queue(s);
}

}  // namespace kelvantor::shared_detail
