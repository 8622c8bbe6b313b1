// Conversations with one backend server kept for every client connection
// (BackSMTPMaxConnections).  A probe takes an idle conversation that is
// already greeted (banner, HELO and MAIL FROM done), sends its RCPT TO on it
// and gives it back.  At most max_open conversations are held per server:
// in use, idle, or still being ended by the closer.  A probe that finds none
// idle and may not open one waits, in arrival order, until its deadline.
// An idle conversation is ended with RSET and QUIT (by the background
// closer) after pool_idle_time; one that reached its recipient or refusal
// limit, or got a 421, is ended when it is given back, and one that holds
// bytes nobody asked for is dropped when it is taken, never used.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "backend/closer.h"
#include "backend/conversation.h"

namespace kelvantor {

class server_health;  // backend/server_health.h

// Well below the idle limits of common servers (Postfix's smtpd_timeout is 300 s).
inline constexpr std::chrono::seconds pool_idle_time{30};
// RCPT TO commands per conversation; Postfix takes 1000 per message by default.
inline constexpr std::uint32_t pool_recipient_limit = 100;
// 4xx and 5xx RCPT TO replies per conversation: Postfix counts both as
// errors and answers slowly after its 10th.
inline constexpr std::uint32_t pool_refusal_limit = 8;

struct pool_limits {
    std::chrono::steady_clock::duration idle = pool_idle_time;
    std::uint32_t recipients = pool_recipient_limit;
    std::uint32_t refusals = pool_refusal_limit;
};

class backend_pool;

// A conversation taken from a pool for one probe; given back when the lease
// ends.  Empty when the wait ran out.  A granted lease whose conversation is
// not open is a place to open one in.
class pool_lease {
public:
    pool_lease() = default;
    ~pool_lease();
    pool_lease(pool_lease&& other) noexcept;
    pool_lease& operator=(pool_lease&& other) noexcept;
    pool_lease(const pool_lease&) = delete;
    pool_lease& operator=(const pool_lease&) = delete;

    explicit operator bool() const noexcept { return pool_ != nullptr; }
    backend_conversation& conversation() noexcept { return conversation_; }

private:
    friend class backend_pool;
    pool_lease(backend_pool* pool, backend_conversation conversation) noexcept;
    void give_back() noexcept;

    backend_pool* pool_ = nullptr;
    backend_conversation conversation_;
};

struct pool_counts {
    std::size_t held = 0;  // in use, idle, or being ended
    std::size_t idle = 0;
    std::size_t waiting = 0;
};

class backend_pool final : private close_listener {
public:
    using clock = std::chrono::steady_clock;

    // health, if any, is kept told of the count held and of the waits.
    explicit backend_pool(pool_limits limits = {}, server_health* health = nullptr) noexcept;
    ~backend_pool();  // idle conversations are dropped; none may be in use or closing
    backend_pool(const backend_pool&) = delete;
    backend_pool& operator=(const backend_pool&) = delete;

    // A conversation for one probe, with at most max_open held (0 counts as 1).
    pool_lease take(std::size_t max_open, clock::time_point deadline);

    // Idle conversations unused since before now - idle time go to the closer.
    void reap(clock::time_point now) noexcept;
    // Every idle conversation goes to the closer (shut-down).
    void end_idle() noexcept;

    pool_counts counts() const;

private:
    friend class pool_lease;
    struct idle_entry {
        backend_conversation conversation;
        clock::time_point since;
    };
    struct waiter {
        std::condition_variable wake;
        bool granted = false;
        backend_conversation handed;  // open: an idle one; not open: room to open one
    };

    void give_back(backend_conversation conversation) noexcept;
    void closed() noexcept override;
    // One place is free: it goes to the first waiter, else the count drops.
    void release_locked() noexcept;
    void publish_locked() const noexcept;
    std::vector<backend_conversation> expired_locked(clock::time_point now);

    const pool_limits limits_;
    server_health* const health_;
    mutable std::mutex mutex_;
    std::vector<idle_entry> idle_;  // the most recently used last
    std::list<waiter*> waiters_;    // in arrival order
    std::size_t held_ = 0;
    std::size_t max_open_ = 1;
};

// The pool of a server, made on first use and never freed.  The first pool
// made starts a thread that reaps idle conversations every second.
backend_pool& backend_pool_of(const backend_server& server);

// Shut-down: the reaper stops and every idle conversation goes to the closer
// (call before the closer is stopped).
void backend_pools_stop() noexcept;

}  // namespace kelvantor
