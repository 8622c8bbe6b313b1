// A guard against backend servers that take a connection and then stall.
// Greeting commands (HELO, MAIL FROM) wait up to 2000 s for their replies, so
// a server that stops answering them would tie up one filter thread per new
// conversation.  A wait is stalled once it has lasted longer than the
// threshold, which lies well beyond what a slow but working server takes
// (stall_threshold).  While any wait with a server is stalled, new
// conversations with it are refused at once, except for one trial
// conversation at a time, at most one per threshold interval, whose waits
// are those of any other conversation.  The circuit closes only when no
// stalled wait remains.  Opening and closing are logged, and shown in the
// server's health block (backend/server_health.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "backend/conversation.h"

namespace kelvantor {

class server_health;

// A greeting wait counts as stalled after this many reply timeouts (plus the
// slow-banner allowance): 15 s with the default TimeoutSMTPReply of 3 s.
inline constexpr int stall_threshold_factor = 5;

constexpr std::chrono::seconds stall_threshold(std::chrono::seconds reply_timeout,
                                               std::chrono::seconds allowance) noexcept {
    return stall_threshold_factor * reply_timeout + allowance;
}

class stall_guard {
public:
    using clock = std::chrono::steady_clock;
    enum class admission { go, trial, refused };

    // Whether a new conversation with server may start now.
    admission admit(const backend_server& server, clock::duration threshold, clock::time_point now);

    // A conversation starts waiting for a command's reply; the token ends it.
    std::uint64_t begin_wait(const backend_server& server, bool trial, clock::time_point now);
    // The wait ended, answered or not.
    void end_wait(std::uint64_t token, clock::time_point now);

    // Whether new conversations with server are refused now (for tests and metrics).
    bool refusing(const backend_server& server) const;

private:
    struct wait_entry {
        std::uint64_t token;
        clock::time_point since;
        bool trial;
    };
    struct server_state {
        backend_server server;
        bool open = false;  // refusing new conversations
        server_health* health = nullptr;
        clock::duration threshold{};
        clock::time_point last_trial{};
        std::vector<wait_entry> waits;

        bool stalled(clock::time_point now) const;
        bool trial_waiting() const;
    };

    server_state& state_of(const backend_server& server);
    void close_circuit(server_state& state);

    mutable std::mutex mutex_;
    std::vector<server_state> servers_;
    std::uint64_t next_token_ = 1;
};

// The guard every backend conversation of the process goes through.
stall_guard& backend_stall_guard();

}  // namespace kelvantor
