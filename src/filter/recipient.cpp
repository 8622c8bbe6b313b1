// Recipient verification: for each RCPT TO of a routed domain, the cached
// verdict or else the answer of the backend that the recipient's own route
// names, asked on the client connection's conversation with that server, or
// with BackSMTPMaxConnections on one taken from that server's pool.
// Unknown users are rejected with 550 5.1.1; backend trouble never rejects
// (it passes or defers, as configured).  With LogVerdicts each decided
// recipient is logged with where its answer came from.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "backend/catch_all.h"
#include "backend/conversation.h"
#include "backend/pool.h"
#include "backend/server_health.h"
#include "cache/verdict_cache.h"
#include "common/log.h"
#include "common/settings.h"
#include "filter/filter.h"
#include "filter/probe_flight.h"
#include "metrics/metrics.h"
#include "routing/routes.h"
#include "shared/shared_store.h"

namespace kelvantor {
namespace {

// Where a recipient's answer came from, for the LogVerdicts line.
struct verdict_story {
    const char* source = "no rcpt_addr";  // "unrouted", "cache", "backend", ...
    int code = 0;                         // the backend's reply code, when one came
    const backend_server* server = nullptr;
};

void set_reply(SMFICTX* ctx, const char* code, const char* status, const char* text) {
    // libmilter copies the strings and does not change them.
    smfi_setreply(ctx, const_cast<char*>(code), const_cast<char*>(status), const_cast<char*>(text));
}

sfsistat reject_unknown(SMFICTX* ctx) {
    set_reply(ctx, "550", "5.1.1", " User unknown");
    return SMFIS_REJECT;
}

sfsistat defer(SMFICTX* ctx) {
    set_reply(ctx, "451", "4.7.0", "Internal error");
    return SMFIS_TEMPFAIL;
}

// The answer when the backend cannot be reached or greeted: defer or pass.
sfsistat failure_answer(SMFICTX* ctx) {
    return settings.tempfail_on_error ? defer(ctx) : SMFIS_CONTINUE;
}

conversation_timeouts configured_timeouts() {
    return {std::chrono::milliseconds(settings.connect_timeout_ms),
            std::chrono::seconds(settings.reply_timeout)};
}

// Further servers of a route are tried only while the recipient has spent
// less than this; the last one tried takes at most one more open and probe.
std::chrono::steady_clock::duration fallback_budget() {
    const conversation_timeouts timeouts = configured_timeouts();
    return timeouts.connect + timeouts.reply;
}

// How long others wait for a probe on the conversation: its RCPT TO reply,
// after the connect and the banner when the conversation is still to open,
// and the fallback budget when the route has more than one server.
std::chrono::steady_clock::duration probe_bound(const backend_conversation& conversation,
                                                std::size_t servers) {
    const conversation_timeouts timeouts = configured_timeouts();
    if (conversation.is_open()) return timeouts.reply;
    const auto one = timeouts.connect + timeouts.reply + slow_banner_allowance() + timeouts.reply;
    return servers > 1 ? one + fallback_budget() : one;
}

// The same with pools: a probe waits for a conversation at most until the
// fallback budget is spent, after which no further server is tried.
std::chrono::steady_clock::duration pooled_probe_bound() {
    return probe_bound(backend_conversation{}, 1) + fallback_budget();
}

// The servers of a route in the order they are asked: its own, then its fallbacks.
struct route_servers {
    std::array<backend_server, 1 + max_fallbacks> list{};
    std::size_t count = 0;
};

route_servers servers_of(const route_target& route) {
    route_servers servers;
    servers.list.at(0) = {route.server_addr, route.port};
    for (std::size_t i = 0; i < route.fallbacks.count; ++i) {
        const fallback_server& fallback = route.fallbacks.servers.at(i);
        servers.list.at(i + 1) = {fallback.server_addr, fallback.port};
    }
    servers.count = 1 + route.fallbacks.count;
    return servers;
}

// The answer of a valid or invalid verdict.
sfsistat answer_of(SMFICTX* ctx, std::uint32_t status) {
    return status == VERDICT_VALID ? SMFIS_CONTINUE : reject_unknown(ctx);
}

// The probe, counted with its round trip.
rcpt_outcome probe(backend_conversation& conversation, const char* address) {
    const auto start = std::chrono::steady_clock::now();
    const rcpt_outcome outcome = conversation.rcpt(address);
    const auto round_trip = std::chrono::steady_clock::now() - start;
    server_health& server = conversation.health();
    switch (outcome) {
        case rcpt_outcome::accepted:
            count_probe(server, probe_reply::accepted, round_trip);
            break;
        case rcpt_outcome::unknown_user:
            count_probe(server, probe_reply::unknown, round_trip);
            break;
        case rcpt_outcome::unjudged:
            count_probe(server, probe_reply::other, round_trip);
            break;
        case rcpt_outcome::failed:
            count_probe(server, probe_reply::no_reply, round_trip);
            break;
        case rcpt_outcome::no_memory:
            break;  // nothing went out
    }
    return outcome;
}

// A verdict the backend gave: kept here, and offered to the fleet.
void learn(const char* address, std::uint32_t status) {
    verdict_add(address, status);
    shared_publish(address, status, wall_now());
}

sfsistat judge(SMFICTX* ctx, backend_conversation& conversation, const char* address,
               probe_ticket& ticket, verdict_story& story) {
    const rcpt_outcome outcome = probe(conversation, address);
    story.source = outcome == rcpt_outcome::failed ? "no reply from backend" : "backend";
    story.code = conversation.last_rcpt_code();
    switch (outcome) {
        case rcpt_outcome::accepted:
            learn(address, VERDICT_VALID);
            ticket.learnt({VERDICT_VALID, story.code});
            return SMFIS_CONTINUE;
        case rcpt_outcome::unknown_user:
            learn(address, VERDICT_INVALID);
            ticket.learnt({VERDICT_INVALID, story.code});
            return reject_unknown(ctx);
        case rcpt_outcome::unjudged:
            // Other 2xx answers pass unjudged; so does every temporary or other answer.
            return SMFIS_CONTINUE;
        case rcpt_outcome::failed:
            return defer(ctx);
        case rcpt_outcome::no_memory:
            return SMFIS_TEMPFAIL;
    }
    return SMFIS_TEMPFAIL;
}

// Before the first real probe of a domain on a server (and once per valid
// lifetime), a RCPT TO of a random local part: a 250 marks the domain as
// accepting any recipient, 550 or 553 as checked, any other answer nothing.
// Its answer is never cached nor shared.  True when the recipient is
// answered here: the domain accepts anyone, or the backend did not answer.
bool sound_domain(SMFICTX* ctx, backend_conversation& conversation, std::string_view domain,
                  verdict_story& story, sfsistat& answer) {
    const backend_server& server = conversation.health().server();
    switch (catch_all_lookup(server, domain)) {
        case catch_all_state::accepts_any:
            // Marked while this recipient waited for another's probe.
            story.source = "catch-all";
            answer = SMFIS_CONTINUE;
            return true;
        case catch_all_state::checked:
            return false;
        case catch_all_state::unknown:
            break;
    }
    const std::string random = catch_all_local_part();
    if (random.empty()) return false;
    const std::string address = random + "@" + std::string(domain);
    const std::chrono::seconds life(settings.valid_ttl);
    switch (probe(conversation, address.c_str())) {
        case rcpt_outcome::accepted:
            if (catch_all_mark(server, domain, catch_all_state::accepts_any, life)) {
                const std::string shown = printable_excerpt(domain);
                log_msg(LOG_WARNING, "backend accepts any recipient for %s", shown.c_str());
            }
            story.source = "catch-all";
            answer = SMFIS_CONTINUE;
            return true;
        case rcpt_outcome::unknown_user:
            catch_all_mark(server, domain, catch_all_state::checked, life);
            return false;
        case rcpt_outcome::unjudged:
            return false;
        case rcpt_outcome::failed:
            story.source = "no reply from backend";
            answer = defer(ctx);
            return true;
        case rcpt_outcome::no_memory:
            answer = SMFIS_TEMPFAIL;
            return true;
    }
    return false;
}

sfsistat verify_recipient(SMFICTX* ctx, bool& unrouted, verdict_story& story,
                          backend_server& server) {
    conn_ctx* context = context_of(ctx);
    char rcpt_macro[] = "{rcpt_addr}";
    const char* address = smfi_getsymval(ctx, rcpt_macro);
    if (address == nullptr) {
        log_msg(LOG_ERR, "cannot get rcpt address");
        return SMFIS_TEMPFAIL;
    }
    story.source = "no context";
    if (context == nullptr) return SMFIS_CONTINUE;

    const route_target route = route_lookup(domain_of(address));
    if (route.server_addr.ss_family == AF_UNSPEC) {
        unrouted = true;
        story.source = "unrouted";
        return SMFIS_CONTINUE;
    }
    server = {route.server_addr, route.port};
    story.server = &server;
    story.source = "cache";

    if (const auto verdict = verdict_lookup(address); verdict.has_value()) {
        if (*verdict == VERDICT_VALID) {
            count_cache_lookup(cache_lookup_result::hit_valid);
            return SMFIS_CONTINUE;
        }
        if (*verdict == VERDICT_INVALID) {
            count_cache_lookup(cache_lookup_result::hit_invalid);
            return reject_unknown(ctx);
        }
    }
    count_cache_lookup(cache_lookup_result::miss);

    // Another filter of the fleet may have learnt it: its verdict is kept here
    // with the age it has, unless it has outlived its lifetime here.
    story.source = "shared store";
    if (const auto shared = shared_lookup(address);
        shared && verdict_adopt(address, shared->status, shared->age)) {
        return answer_of(ctx, shared->status);
    }

    story.source = "address not writable";
    if (!rcpt_address_writable(address)) {
        log_msg(LOG_ERR, "invalid rcpt address");
        return failure_answer(ctx);
    }
    // A domain that accepts any recipient passes them all, unprobed and uncached.
    const bool sound = settings.catch_all_check;
    if (sound && catch_all_lookup(server, domain_of(address)) == catch_all_state::accepts_any) {
        story.source = "catch-all";
        return SMFIS_CONTINUE;
    }
    const route_servers servers = servers_of(route);
    // A probe of the address under way on another thread is waited for; one
    // that ends without a verdict leaves this recipient to its own probe.
    const auto cap = static_cast<std::size_t>(std::max(0, settings.backend_max_connections.get()));
    probe_ticket ticket(address,
                        cap > 0 ? pooled_probe_bound()
                                : probe_bound(context->conversation_for(server), servers.count));
    if (!ticket.leads() && ticket.verdict().has_value()) {
        story.source = "probe in flight";
        story.code = ticket.verdict()->code;
        return answer_of(ctx, ticket.verdict()->status);
    }
    if (ticket.leads()) {
        // A probe that ended since the miss above has left its verdict here.
        story.source = "cache";
        if (const auto verdict = verdict_lookup(address);
            verdict == VERDICT_VALID || verdict == VERDICT_INVALID) {
            ticket.learnt({*verdict, 0});
            return answer_of(ctx, *verdict);
        }
    }
    story.source = "backend unavailable";
    // With fallbacks, the first server that is not backed off and can be
    // greeted is asked; no further server is tried once the recipient has
    // spent the fallback budget.
    // A server's conversation, once open: the domain sounded for a catch-all
    // where asked, then the probe.
    const auto probe_on = [&](backend_conversation& conversation) {
        if (sfsistat answer = SMFIS_CONTINUE;
            sound && sound_domain(ctx, conversation, domain_of(address), story, answer)) {
            return answer;
        }
        return judge(ctx, conversation, address, ticket, story);
    };
    const bool fallbacks = servers.count > 1;
    const auto start = std::chrono::steady_clock::now();
    open_result last = open_result::stalled;
    for (std::size_t i = 0; i < servers.count; ++i) {
        const auto now = std::chrono::steady_clock::now();
        if (i > 0 && now - start >= fallback_budget()) break;
        server = servers.list.at(i);
        // Pooled, the conversation is given back when the lease ends, after its probe.
        pool_lease lease;
        if (cap > 0) {
            lease = backend_pool_of(server).take(cap, start + fallback_budget());
            if (!lease) continue;  // none came free in time: the budget is spent
        }
        backend_conversation& conversation =
            cap > 0 ? lease.conversation() : context->conversation_for(server);
        if (conversation.is_open()) return probe_on(conversation);
        server_health& health = server_health_of(server);
        if (fallbacks && health.backed_off(now)) continue;
        last = conversation.open(server, configured_timeouts(), helo_name);
        if (last == open_result::opened) {
            if (fallbacks && health.back_on()) {
                const server_name name = name_of(server);
                log_msg(LOG_INFO, "backend SMTP at %s port %u available again", name.host,
                        unsigned{server.port});
            }
            return probe_on(conversation);
        }
        if (last == open_result::no_memory) return failure_answer(ctx);
        count_unreachable_probe(conversation.health());
        if (fallbacks && health.back_off(now + server_back_off) && i + 1 < servers.count) {
            const server_name name = name_of(server);
            const server_name next = name_of(servers.list.at(i + 1));
            log_msg(LOG_WARNING, "backend SMTP at %s port %u unavailable, trying %s port %u",
                    name.host, unsigned{server.port}, next.host,
                    unsigned{servers.list.at(i + 1).port});
        }
    }
    switch (last) {
        case open_result::unavailable:
        case open_result::not_greeted:
            // The 451 reply is set even where the failure answer is to pass.
            set_reply(ctx, "451", "4.7.0", "Internal error");
            return failure_answer(ctx);
        case open_result::greeting_lost:
            // The backend took the connection and then failed the exchange.
            return defer(ctx);
        default:
            return failure_answer(ctx);
    }
}

// One line per decided recipient: "verdict <ADDRESS> ANSWER (SOURCE)".
void log_verdict(const char* address, sfsistat answer, const verdict_story& story) {
    const char* verdict = answer == SMFIS_REJECT                       ? "unknown"
                          : answer != SMFIS_CONTINUE                   ? "deferred"
                          : std::strcmp(story.source, "unrouted") == 0 ? "passed"
                          : story.code == 250 || std::strcmp(story.source, "cache") == 0 ||
                                  std::strcmp(story.source, "shared store") == 0 ||
                                  std::strcmp(story.source, "probe in flight") == 0
                              ? "valid"
                              : "passed";
    std::string source = story.source;
    if (story.code != 0) source += " " + std::to_string(story.code);
    if (story.server != nullptr && std::strcmp(story.source, "cache") != 0 &&
        std::strcmp(story.source, "shared store") != 0) {
        source += " at ";
        source += name_of(*story.server).text;
    }
    const std::string shown = printable_excerpt(address != nullptr ? address : "");
    log_msg(LOG_INFO, "verdict <%s> %s (%s)", shown.c_str(), verdict, source.c_str());
}

}  // namespace

sfsistat cb_envrcpt(SMFICTX* ctx, char** /*argv*/) noexcept {
    sfsistat answer = SMFIS_TEMPFAIL;
    bool unrouted = false;
    verdict_story story;
    backend_server server;
    try {
        answer = verify_recipient(ctx, unrouted, story, server);
    } catch (...) {
        // Lack of memory deep down: defer rather than judge.
        story = {"out of memory", 0, nullptr};
    }
    if (settings.log_verdicts) {
        char rcpt_macro[] = "{rcpt_addr}";
        try {
            log_verdict(smfi_getsymval(ctx, rcpt_macro), answer, story);
        } catch (...) {
            // No memory for the line: the answer stands.
        }
    }
    count_recipient(unrouted                   ? recipient_result::unrouted
                    : answer == SMFIS_CONTINUE ? recipient_result::passed
                    : answer == SMFIS_REJECT   ? recipient_result::rejected
                                               : recipient_result::deferred);
    return answer;
}

}  // namespace kelvantor
