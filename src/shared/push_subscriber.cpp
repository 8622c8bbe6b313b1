// The subscriber thread of the fleet's push channel.
#include "shared/push_subscriber.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "cache/verdict_cache.h"
#include "common/log.h"
#include "common/quiet_thread.h"
#include "routing/routes.h"
#include "shared/store_state.h"

namespace kelvantor {
namespace {

using namespace shared_detail;
using std::chrono::steady_clock;

constexpr std::chrono::milliseconds read_wake{250};
constexpr std::chrono::milliseconds first_backoff{100};
constexpr std::chrono::milliseconds longest_backoff{5000};
constexpr std::chrono::minutes warning_interval{1};
// The most messages taken in one window: a flood is read no faster than
// 10000 a second, so that the subscriber's share of the CPU and of the
// cache's lock stays small; what comes faster waits in Redis's output
// buffer (which drops the subscription when it overflows).
constexpr std::chrono::milliseconds rate_window{100};
constexpr int window_budget = 1000;
// A message is some 300 bytes; a "message" array holds three strings.
constexpr reply_limits message_limits{.bytes = std::size_t{4} << 10, .elements = 3};

struct subscriber_state {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool reconnect = false;
    std::thread thread;
};

subscriber_state& subscriber() {
    static auto* const state = new subscriber_state;  // never destroyed, as the store's
    return *state;
}

push_result apply_verdict(const push_message& message, std::int64_t now_unix) {
    const std::uint32_t status = message.kind == push_kind::valid ? VERDICT_VALID : VERDICT_INVALID;
    const std::int64_t age = std::max<std::int64_t>(0, now_unix - message.learnt_unix);
    if (age > verdict_lifetime(status)) return push_result::ignored;
    if (const auto here = verdict_inspect(message.subject)) {
        // The verdict learnt first stays, as in the store; a different one
        // gives way only to a newer one.
        if (here->status == status || here->age <= age) return push_result::ignored;
        verdict_purge(message.subject);
    }
    return verdict_adopt(message.subject, status, age) ? push_result::applied
                                                       : push_result::ignored;
}

void purge_where(const shared_predicate& remove) {
    auto here = [&](std::uint32_t status, std::string_view address) {
        return remove(status, address);
    };
    verdict_purge_if(here);
    forget_queued_verdicts(remove);
}

}  // namespace

const std::string& push_gateway_id() {
    static const std::string id = new_gateway_id();
    return id;
}

push_result apply_push(const push_message& message, std::int64_t now_unix) {
    if (message.gateway == push_gateway_id()) return push_result::own;
    const std::string_view subject = message.subject;
    switch (message.kind) {
        case push_kind::valid:
        case push_kind::invalid:
            return apply_verdict(message, now_unix);
        case push_kind::purge_address: {
            verdict_purge(subject);
            const auto key = shared_key(store().config.get()->prefix, subject);
            if (key) forget_queued([&](const pending_write& write) { return write.key == *key; });
            break;
        }
        case push_kind::purge_domain:
        case push_kind::purge_subdomains: {
            const bool subdomains = message.kind == push_kind::purge_subdomains;
            purge_where([&](std::uint32_t, std::string_view address) {
                return domain_matches(domain_of(address), subject, subdomains);
            });
            break;
        }
        case push_kind::purge_invalid:
            purge_where(
                [](std::uint32_t status, std::string_view) { return status == VERDICT_INVALID; });
            break;
    }
    return push_result::applied;
}

namespace {

// Opens a link where the store's links open, and subscribes to the channel.
std::unique_ptr<redis_link> subscribe(const std::string& channel, std::string& error) {
    const auto timeout = std::clamp<std::chrono::milliseconds>(store().config.get()->timeout,
                                                               read_wake, std::chrono::seconds(1));
    const deadline by = steady_clock::now() + timeout;
    link_status status = link_status::failed;
    auto link = open_link(by, status);
    if (!link) {
        error = status == link_status::timeout ? "connect timed out" : "cannot connect";
        return nullptr;
    }
    const redis_command command{"SUBSCRIBE", channel};
    redis_reply reply;
    status = link->send({&command, 1}, by);
    if (status == link_status::done) status = link->next_pushed(reply, by, message_limits);
    if (status != link_status::done) {
        error =
            status == link_status::timeout ? "no answer to SUBSCRIBE in time" : link->last_error();
        return nullptr;
    }
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 || !is_text(reply->element[0]) ||
        text_of(*reply->element[0]) != "subscribe") {
        error = reply->type == REDIS_REPLY_ERROR ? std::string(text_of(*reply))
                                                 : "unexpected reply to SUBSCRIBE";
        return nullptr;
    }
    return link;
}

// A walk over the cache for a domain or invalid purge that was just done:
// the same purge told again meanwhile (nothing applied in between) is not
// walked again, so a flood of one purge costs one walk.
struct walk_memory {
    bool any = false;
    push_kind kind{};
    std::string subject;
    bool same(const push_message& m) const { return any && m.kind == kind && m.subject == subject; }
};

bool is_walk(push_kind kind) {
    return kind == push_kind::purge_domain || kind == push_kind::purge_subdomains ||
           kind == push_kind::purge_invalid;
}

std::int64_t unix_now() {
    return std::chrono::floor<std::chrono::seconds>(wall_now().time_since_epoch()).count();
}

// One reply of the subscription: a message on the channel, or anything else
// (counted malformed).
void handle(const redisReply& reply, const std::string& channel, walk_memory& last_walk) {
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 3 || !is_text(reply.element[0]) ||
        text_of(*reply.element[0]) != "message" || !is_text(reply.element[1]) ||
        text_of(*reply.element[1]) != channel || reply.element[2]->type != REDIS_REPLY_STRING) {
        count_push(push_result::malformed);
        return;
    }
    const auto message = parse_push(text_of(*reply.element[2]));
    if (!message) {
        count_push(push_result::malformed);
        return;
    }
    if (is_walk(message->kind) && last_walk.same(*message) &&
        message->gateway != push_gateway_id()) {
        count_push(push_result::ignored);
        return;
    }
    const push_result result = apply_push(*message, unix_now());
    count_push(result);
    if (result != push_result::applied) return;
    last_walk.any = is_walk(message->kind);
    if (last_walk.any) {
        last_walk.kind = message->kind;
        last_walk.subject = message->subject;
    }
}

// Waits for the back-off, or until stop or a reconnect is asked; false at stop.
bool pause(subscriber_state& self, std::chrono::milliseconds backoff) {
    std::unique_lock hold(self.mutex);
    self.wake.wait_for(hold, backoff, [&] { return self.stopping || self.reconnect; });
    self.reconnect = false;
    return !self.stopping;
}

// Counts a message against the window's budget; once it is spent, waits
// for the window's end (or stop, or a reconnect asked).
class rate_guard {
public:
    void take(subscriber_state& self) {
        const auto now = steady_clock::now();
        if (now >= window_end_) {
            window_end_ = now + rate_window;
            taken_ = 0;
        }
        if (++taken_ < window_budget) return;
        std::unique_lock hold(self.mutex);
        self.wake.wait_until(hold, window_end_, [&] { return self.stopping || self.reconnect; });
    }

private:
    steady_clock::time_point window_end_{};
    int taken_ = 0;
};

// Whether the loop should leave its subscription: stop, or a reconnect asked.
bool leave(subscriber_state& self) {
    const std::lock_guard hold(self.mutex);
    return self.stopping || self.reconnect;
}

void run_subscriber() {
    subscriber_state& self = subscriber();
    auto backoff = first_backoff;
    auto last_warning = steady_clock::now() - warning_interval;  // the first failure is told
    bool was_subscribed = false;
    for (;;) {
        {
            const std::lock_guard hold(self.mutex);
            if (self.stopping) return;
            self.reconnect = false;
        }
        const std::string channel = push_channel(store().config.get()->prefix);
        std::string error;
        std::unique_ptr<redis_link> link = subscribe(channel, error);
        if (link) {
            backoff = first_backoff;
            log_msg(LOG_INFO,
                    was_subscribed ? "shared cache push: subscribed again to %s"
                                   : "shared cache push: subscribed to %s",
                    printable_excerpt(channel, 140).c_str());
            was_subscribed = true;
            walk_memory last_walk;
            rate_guard rate;
            // A server that hangs, or a path that lost it without a reset,
            // is left too.
            subscription_heartbeat heartbeat(store().config.get()->timeout);
            while (!leave(self)) {
                redis_reply reply;
                link_status got = heartbeat.check(*link, error);
                if (got == link_status::done) {
                    got = link->next_pushed(reply, steady_clock::now() + read_wake, message_limits);
                }
                if (got == link_status::timeout) continue;
                if (got == link_status::failed) {
                    if (error.empty()) error = link->last_error();
                    break;
                }
                heartbeat.heard();
                if (is_pong(*reply)) continue;
                handle(*reply, channel, last_walk);
                rate.take(self);
            }
            if (leave(self) && error.empty()) continue;  // asked to: at once
        }
        if (const auto now = steady_clock::now(); now - last_warning >= warning_interval) {
            last_warning = now;
            log_msg(LOG_WARNING, "shared cache push: not subscribed: %s",
                    printable_excerpt(error, 128).c_str());
        }
        if (!pause(self, backoff)) return;
        backoff = std::min(backoff * 2, longest_backoff);
    }
}

}  // namespace

bool push_subscriber_start() {
    subscriber_state& self = subscriber();
    {
        const std::lock_guard hold(self.mutex);
        self.stopping = false;
        self.reconnect = false;
    }
    push_gateway_id();  // drawn before any message is sent or read
    try {
        self.thread = start_quiet_thread(run_subscriber);
    } catch (const std::exception&) {
        log_msg(LOG_ERR, "shared cache push: cannot start the subscriber thread");
        return false;
    }
    return true;
}

void push_subscriber_stop() {
    subscriber_state& self = subscriber();
    if (!self.thread.joinable()) return;
    {
        const std::lock_guard hold(self.mutex);
        self.stopping = true;
    }
    self.wake.notify_one();
    self.thread.join();
}

void push_subscriber_request_reconnect() {
    subscriber_state& self = subscriber();
    {
        const std::lock_guard hold(self.mutex);
        self.reconnect = true;
    }
    self.wake.notify_one();
}

}  // namespace kelvantor
