// The stalled-backend guard: per server, the waits for greeting replies in
// progress, and whether new conversations are refused.  The mutex is held
// only for this bookkeeping, never across network waits.
#include "backend/stall_guard.h"

#include <algorithm>

#include "backend/server_health.h"
#include "common/log.h"

namespace kelvantor {
namespace {

void log_circuit(int priority, const char* what, const backend_server& server) {
    log_msg(priority, "%s for backend SMTP at %s port %u", what, name_of(server).host,
            static_cast<unsigned>(server.port));
}

}  // namespace

bool stall_guard::server_state::stalled(clock::time_point now) const {
    return std::any_of(waits.begin(), waits.end(),
                       [&](const wait_entry& w) { return now - w.since > threshold; });
}

bool stall_guard::server_state::trial_waiting() const {
    return std::any_of(waits.begin(), waits.end(), [](const wait_entry& w) { return w.trial; });
}

stall_guard::server_state& stall_guard::state_of(const backend_server& server) {
    for (auto& state : servers_) {
        if (state.server == server) return state;
    }
    auto& added = servers_.emplace_back();
    added.server = server;
    added.health = &server_health_of(server);
    return added;
}

void stall_guard::close_circuit(server_state& state) {
    if (!state.open) return;
    state.open = false;
    state.health->set_circuit_open(false);
    log_circuit(LOG_INFO, "circuit closed", state.server);
}

stall_guard::admission stall_guard::admit(const backend_server& server, clock::duration threshold,
                                          clock::time_point now) {
    const std::lock_guard lock(mutex_);
    server_state& state = state_of(server);
    state.threshold = threshold;
    const bool stalled = state.stalled(now);
    if (!state.open) {
        if (!stalled) return admission::go;
        state.open = true;
        state.health->set_circuit_open(true);
        state.last_trial = now;
        log_circuit(LOG_WARNING, "circuit open", server);
        return admission::refused;
    }
    if (!stalled) {
        close_circuit(state);
        return admission::go;
    }
    // One trial at a time: none while a trial is still waiting for a reply.
    if (state.trial_waiting() || now - state.last_trial < threshold) return admission::refused;
    state.last_trial = now;
    return admission::trial;
}

std::uint64_t stall_guard::begin_wait(const backend_server& server, bool trial,
                                      clock::time_point now) {
    const std::lock_guard lock(mutex_);
    const std::uint64_t token = next_token_++;
    state_of(server).waits.push_back({token, now, trial});
    return token;
}

void stall_guard::end_wait(std::uint64_t token, clock::time_point now) {
    const std::lock_guard lock(mutex_);
    for (auto& state : servers_) {
        const auto found = std::find_if(state.waits.begin(), state.waits.end(),
                                        [token](const auto& w) { return w.token == token; });
        if (found == state.waits.end()) continue;
        state.waits.erase(found);
        // An answered trial proves nothing about the older waits: the circuit
        // closes only once none of them is stalled any more.
        if (state.open && !state.stalled(now)) close_circuit(state);
        return;
    }
}

bool stall_guard::refusing(const backend_server& server) const {
    const std::lock_guard lock(mutex_);
    for (const auto& state : servers_) {
        if (state.server == server) return state.open;
    }
    return false;
}

stall_guard& backend_stall_guard() {
    // Never destroyed: connection threads may use it until the process ends.
    static stall_guard& guard = *new stall_guard;
    return guard;
}

}  // namespace kelvantor
