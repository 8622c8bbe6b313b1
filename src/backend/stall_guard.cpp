// The stalled-backend guard: per server, the waits for command replies in
// progress, and whether new conversations are refused.  The mutex is held
// only for this bookkeeping, never across network waits.
#include "backend/stall_guard.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>

#include "common/log.h"

namespace kelvantor {
namespace {

void log_circuit(int priority, const char* what, const backend_server& server) {
    char host[256] = "?";
    const auto length = static_cast<socklen_t>(
        server.address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    getnameinfo(reinterpret_cast<const sockaddr*>(&server.address), length, host, sizeof host,
                nullptr, 0, NI_NUMERICHOST);
    log_msg(priority, "%s for backend SMTP at %s port %u", what, host,
            static_cast<unsigned>(server.port));
}

}  // namespace

stall_guard::server_state& stall_guard::state_of(const backend_server& server) {
    for (auto& state : servers_) {
        if (state.server == server) return state;
    }
    auto& added = servers_.emplace_back();
    added.server = server;
    return added;
}

void stall_guard::close_circuit(server_state& state) {
    if (!state.open) return;
    state.open = false;
    log_circuit(LOG_INFO, "circuit closed", state.server);
}

stall_guard::admission stall_guard::admit(const backend_server& server, clock::duration threshold,
                                          clock::time_point now) {
    const std::lock_guard lock(mutex_);
    server_state& state = state_of(server);
    state.threshold = threshold;
    const bool stalled = std::any_of(state.waits.begin(), state.waits.end(), [&](const auto& w) {
        return !w.trial && now - w.since > threshold;
    });
    if (!state.open) {
        if (!stalled) return admission::go;
        state.open = true;
        state.last_trial = now;
        log_circuit(LOG_WARNING, "circuit open", server);
        return admission::refused;
    }
    if (!stalled && state.waits.empty()) {
        close_circuit(state);
        return admission::go;
    }
    if (now - state.last_trial < threshold) return admission::refused;
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

void stall_guard::end_wait(std::uint64_t token, bool answered) {
    const std::lock_guard lock(mutex_);
    for (auto& state : servers_) {
        const auto found = std::find_if(state.waits.begin(), state.waits.end(),
                                        [token](const auto& w) { return w.token == token; });
        if (found == state.waits.end()) continue;
        const bool trial = found->trial;
        state.waits.erase(found);
        if (!state.open) return;
        // A trial that got its answer shows the server answering again; one
        // that did not keeps the circuit open.  Otherwise it closes once no
        // wait is stalled any more.
        if (trial) {
            if (answered) close_circuit(state);
            return;
        }
        const auto now = clock::now();
        const bool still_stalled =
            std::any_of(state.waits.begin(), state.waits.end(),
                        [&](const auto& w) { return !w.trial && now - w.since > state.threshold; });
        if (!still_stalled) close_circuit(state);
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
