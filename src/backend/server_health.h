// Health per backend server: the probe counters, the stall guard's circuit
// and the last failure of each server, for the metrics and kelvantorctl.
// Every server gets one block, found once per conversation and never freed,
// so the recipient path counts with a relaxed atomic add on it: no lock, no
// allocation, no text.  Blocks are added for the servers of the routes in
// force and for any server a conversation is opened with; a server that a
// reload took out of the routes keeps its block (and its series) until the
// process ends, so their number is bounded by the configurations read.
#pragma once

#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "backend/conversation.h"

namespace kelvantor {

// The numeric address of a server, and "ADDRESS:PORT" ("[ADDRESS]:PORT" for
// IPv6), as log lines and metric labels show it.  "?" for an address that
// cannot be shown.
struct server_name {
    char host[INET6_ADDRSTRLEN + IF_NAMESIZE + 1];
    char text[sizeof host + 8];
};
server_name name_of(const backend_server& server) noexcept;

// The backend's answer to a RCPT TO probe: 250; 550 or 553; any other whole
// reply; none in time (or the probe could not be sent); no conversation
// could be opened, so no probe went out.
enum class probe_reply { accepted, unknown, other, no_reply, unreachable };
inline constexpr std::size_t probe_reply_count = 5;

// What kelvantorctl and the renderings show of one server.
struct server_health_view {
    std::string name;  // name_of(server).text
    bool circuit_open = false;
    std::array<std::uint64_t, probe_reply_count> probes{};  // by probe_reply
    const char* last_error = nullptr;                       // none yet: nullptr
    int last_errno = 0;                                     // with it, 0 for none
    std::chrono::steady_clock::duration error_age{};        // since the last error
    // With BackSMTPMaxConnections: conversations the server's pool holds
    // (in use, idle or being ended), probes that waited for one and got it,
    // and those whose time ran out first.
    std::uint64_t pooled = 0;
    std::uint64_t pool_served = 0;
    std::uint64_t pool_timed_out = 0;
};

class server_health {
public:
    explicit server_health(const backend_server& server) noexcept;
    server_health(const server_health&) = delete;
    server_health& operator=(const server_health&) = delete;

    const backend_server& server() const noexcept { return server_; }
    void count(probe_reply reply) noexcept {
        probes_[static_cast<std::size_t>(reply)].value.fetch_add(1, std::memory_order_relaxed);
    }
    void set_circuit_open(bool open) noexcept {
        circuit_open_.store(open, std::memory_order_relaxed);
    }
    // After a failed open the server is skipped until the back-off has passed;
    // true when this call changed it from usable to backed off.
    bool back_off(std::chrono::steady_clock::time_point until) noexcept {
        const auto previous =
            down_until_.exchange(until.time_since_epoch().count(), std::memory_order_relaxed);
        return previous == 0;
    }
    // Whether the server is still backed off at now.
    bool backed_off(std::chrono::steady_clock::time_point now) const noexcept {
        return now.time_since_epoch().count() < down_until_.load(std::memory_order_relaxed);
    }
    // A conversation opened: usable again; true when it was backed off before.
    bool back_on() noexcept {
        return down_until_.load(std::memory_order_relaxed) != 0 &&
               down_until_.exchange(0, std::memory_order_relaxed) != 0;
    }
    // The pool's count of conversations held, and a probe that had to wait for one.
    void set_pooled(std::size_t held) noexcept { pooled_.store(held, std::memory_order_relaxed); }
    void count_pool_wait(bool timed_out) noexcept {
        (timed_out ? pool_timed_out_ : pool_served_).fetch_add(1, std::memory_order_relaxed);
    }
    // A failure with the server: what (a static text) and errno, 0 for none.
    void note_error(const char* what, int error = 0) noexcept;
    server_health_view view() const;
    // Counters and the last error back to none (tests).
    void reset() noexcept;

private:
    struct alignas(64) counter {
        std::atomic<std::uint64_t> value{0};
    };
    std::array<counter, probe_reply_count> probes_;
    std::atomic<bool> circuit_open_{false};
    std::atomic<std::uint64_t> pooled_{0};
    std::atomic<std::uint64_t> pool_served_{0};
    std::atomic<std::uint64_t> pool_timed_out_{0};
    std::atomic<std::chrono::steady_clock::rep> down_until_{0};  // 0: never backed off since
    mutable std::mutex error_mutex_;                             // this server's failures only
    const char* error_what_ = nullptr;
    int error_errno_ = 0;
    std::chrono::steady_clock::time_point error_at_{};
    backend_server server_;
    server_name name_;
};

// How long a server whose conversation could not be opened is skipped for
// the later servers of a route.
inline constexpr std::chrono::seconds server_back_off{10};

// The block of server: found without a lock, added (under one) when new.
server_health& server_health_of(const backend_server& server);

// Every server known, sorted by name; the servers of the routes in force are
// added first, so that each shows from the start, asked or not.
std::vector<server_health_view> server_health_report();

// Every block's counters and last error back to none (tests).
void server_health_reset() noexcept;

}  // namespace kelvantor
