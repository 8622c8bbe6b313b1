// A guard against backend servers that take a connection and then stall.
// Greeting and teardown commands wait up to 2000 s for their replies, so a
// server that stops answering HELO would tie up one filter thread per new
// conversation.  While any conversation with a server has waited longer
// than the threshold, new conversations with that server are refused at
// once; one trial conversation per threshold interval may try again, with
// its waits cut to the threshold.  The circuit closes when the stalled waits
// have ended or a trial was answered.  Opening and closing are logged.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "backend/conversation.h"

namespace kelvantor {

class stall_guard {
public:
    using clock = std::chrono::steady_clock;
    enum class admission { go, trial, refused };

    // Whether a new conversation with server may start now.
    admission admit(const backend_server& server, clock::duration threshold, clock::time_point now);

    // A conversation starts waiting for a command's reply; the token ends it.
    std::uint64_t begin_wait(const backend_server& server, bool trial, clock::time_point now);
    // The wait ended; answered: a whole reply came in step.
    void end_wait(std::uint64_t token, bool answered);

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
        clock::duration threshold{};
        clock::time_point last_trial{};
        std::vector<wait_entry> waits;
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
