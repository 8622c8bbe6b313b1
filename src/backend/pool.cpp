// Pools of backend conversations.  One mutex per pool guards its idle list,
// its queue of waiting probes and its count of conversations held; a place
// that comes free (a conversation given back, or one the closer has ended)
// is handed straight to the first waiter, so probes are served in arrival
// order and a waiter is woken only when there is something for it.  Nothing
// that talks to the backend runs under the mutex: conversations are ended
// through the closer after it is let go.
#include "backend/pool.h"

#include <algorithm>
#include <memory>
#include <thread>
#include <utility>

#include "backend/server_health.h"
#include "backend/socket_io.h"
#include "common/log.h"
#include "common/quiet_thread.h"

namespace kelvantor {

pool_lease::pool_lease(backend_pool* pool, backend_conversation conversation) noexcept
    : pool_(pool), conversation_(std::move(conversation)) {}

pool_lease::~pool_lease() {
    give_back();
}

pool_lease::pool_lease(pool_lease&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), conversation_(std::move(other.conversation_)) {}

pool_lease& pool_lease::operator=(pool_lease&& other) noexcept {
    if (this != &other) {
        give_back();
        pool_ = std::exchange(other.pool_, nullptr);
        conversation_ = std::move(other.conversation_);
    }
    return *this;
}

void pool_lease::give_back() noexcept {
    if (pool_ != nullptr) std::exchange(pool_, nullptr)->give_back(std::move(conversation_));
}

backend_pool::backend_pool(pool_limits limits, server_health* health) noexcept
    : limits_(limits), health_(health) {}

backend_pool::~backend_pool() = default;

pool_lease backend_pool::take(std::size_t max_open, clock::time_point deadline) {
    std::vector<backend_conversation> expired;
    backend_conversation got;
    bool granted = true;
    bool waited = false;
    {
        std::unique_lock lock(mutex_);
        max_open_ = std::max<std::size_t>(max_open, 1);
        expired = expired_locked(clock::now());
        if (waiters_.empty() && !idle_.empty()) {
            got = std::move(idle_.back().conversation);
            idle_.pop_back();
        } else if (waiters_.empty() && held_ < max_open_) {
            ++held_;
            publish_locked();
        } else {
            waiter me;
            const auto place = waiters_.insert(waiters_.end(), &me);
            waited = true;
            granted = me.wake.wait_until(lock, deadline, [&me] { return me.granted; });
            if (granted) {
                got = std::move(me.handed);  // the giver took it off the queue
            } else {
                waiters_.erase(place);
            }
        }
    }
    for (backend_conversation& conversation : expired) conversation.close(this);
    if (waited && health_ != nullptr) health_->count_pool_wait(!granted);
    if (!granted) return {};
    // Bytes that came while it was idle were asked by nobody: the backend is
    // not where the conversation thinks it is.  Its place opens a new one.
    if (got.is_open() && has_unasked_bytes(got.fd())) {
        log_msg(LOG_ERR, "backend reply out of step on fd %d", got.fd());
        got.health().note_error("reply out of step");
        got.drop();
    }
    return {this, std::move(got)};
}

void backend_pool::give_back(backend_conversation conversation) noexcept {
    bool keep = conversation.is_open() && conversation.last_rcpt_code() != 421 &&
                conversation.rcpt_count() < limits_.recipients &&
                conversation.refused_count() < limits_.refusals;
    if (conversation.is_open() && conversation.last_rcpt_code() == 421) conversation.drop();
    {
        const std::lock_guard lock(mutex_);
        if (keep && held_ <= max_open_) {
            if (!waiters_.empty()) {
                waiter* first = waiters_.front();
                waiters_.pop_front();
                first->handed = std::move(conversation);
                first->granted = true;
                first->wake.notify_one();
                return;
            }
            try {
                idle_.push_back({std::move(conversation), clock::now()});
                return;
            } catch (...) {
                keep = false;  // no room to keep it: ended below
            }
        } else {
            keep = false;
        }
        if (!conversation.is_open()) {
            release_locked();
            return;
        }
    }
    conversation.close(this);  // its place is free once the closer is done
}

void backend_pool::closed() noexcept {
    const std::lock_guard lock(mutex_);
    release_locked();
}

void backend_pool::release_locked() noexcept {
    if (!waiters_.empty() && held_ <= max_open_) {
        waiter* first = waiters_.front();
        waiters_.pop_front();
        first->granted = true;  // with no conversation: room to open one
        first->wake.notify_one();
        return;
    }
    if (held_ > 0) --held_;
    publish_locked();
}

void backend_pool::publish_locked() const noexcept {
    if (health_ != nullptr) health_->set_pooled(held_);
}

std::vector<backend_conversation> backend_pool::expired_locked(clock::time_point now) {
    const auto end = std::find_if(idle_.begin(), idle_.end(), [&](const idle_entry& entry) {
        return now - entry.since < limits_.idle;
    });
    std::vector<backend_conversation> expired;
    expired.reserve(static_cast<std::size_t>(end - idle_.begin()));
    for (auto it = idle_.begin(); it != end; ++it) expired.push_back(std::move(it->conversation));
    idle_.erase(idle_.begin(), end);
    return expired;
}

void backend_pool::reap(clock::time_point now) noexcept {
    std::vector<backend_conversation> expired;
    try {
        const std::lock_guard lock(mutex_);
        expired = expired_locked(now);
    } catch (...) {
        return;  // no memory: the next round tries again
    }
    for (backend_conversation& conversation : expired) conversation.close(this);
}

void backend_pool::end_idle() noexcept {
    reap(clock::time_point::max());
}

pool_counts backend_pool::counts() const {
    const std::lock_guard lock(mutex_);
    return {held_, idle_.size(), waiters_.size()};
}

namespace {

constexpr std::chrono::seconds reap_interval{1};

struct pool_node {
    pool_node(const backend_server& of, server_health& health) noexcept
        : server(of), pool(pool_limits{}, &health) {}
    backend_server server;
    backend_pool pool;
};

struct pool_registry {
    std::mutex mutex;
    std::condition_variable stop;
    std::vector<std::unique_ptr<pool_node>> pools;
    std::thread reaper;
    bool stopping = false;

    void run() noexcept {
        std::unique_lock lock(mutex);
        while (!stop.wait_for(lock, reap_interval, [this] { return stopping; })) {
            const std::size_t count = pools.size();  // nodes are never freed nor moved
            std::vector<backend_pool*> each;
            try {
                each.reserve(count);
            } catch (...) {
                continue;
            }
            for (const auto& node : pools) each.push_back(&node->pool);
            lock.unlock();
            const auto now = backend_pool::clock::now();
            for (backend_pool* pool : each) pool->reap(now);
            lock.lock();
        }
    }
};

pool_registry& registry() {
    // Never destroyed: connection threads may give conversations back until the end.
    static auto* const pools = new pool_registry;
    return *pools;
}

}  // namespace

backend_pool& backend_pool_of(const backend_server& server) {
    pool_registry& pools = registry();
    const std::lock_guard lock(pools.mutex);
    for (const auto& node : pools.pools) {
        if (node->server == server) return node->pool;
    }
    auto& added =
        *pools.pools.emplace_back(std::make_unique<pool_node>(server, server_health_of(server)));
    if (!pools.reaper.joinable() && !pools.stopping) {
        try {
            pools.reaper = start_quiet_thread([&pools] { pools.run(); });
        } catch (...) {
            // No thread: idle conversations are still reaped as probes take them.
        }
    }
    return added.pool;
}

void backend_pools_stop() noexcept {
    pool_registry& pools = registry();
    std::thread reaper;
    {
        const std::lock_guard lock(pools.mutex);
        pools.stopping = true;
        reaper = std::move(pools.reaper);
    }
    pools.stop.notify_all();
    if (reaper.joinable()) reaper.join();
    const std::lock_guard lock(pools.mutex);
    for (const auto& node : pools.pools) node->pool.end_idle();
}

}  // namespace kelvantor
