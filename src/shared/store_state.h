// What the lookups on connection threads and the writer thread share: the
// configuration, the store's state, idle links, and the writer's queue.
// Locks here guard only those containers, never a network exchange.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/snapshot.h"
#include "shared/redis_link.h"
#include "shared/shared_store.h"

namespace kelvantor::shared_detail {

// unknown: not yet tried since start.
enum class availability { unknown, down, up };

// A verdict waiting for the writer: while the store answers, for the next
// batch; while it is down, until it is back (the backlog).
struct pending_write {
    std::string key;
    std::string value;
    std::int64_t learnt;    // unix seconds, as in the value
    std::int64_t lifetime;  // seconds from learnt; what is left of it is the key's expiry
    int tries = 0;          // batches that failed with it
};

struct store_state {
    // Taken once per operation: a reload replaces it while lookups run.
    snapshot<shared_store_config> config;
    std::atomic<bool> enabled{false};
    std::atomic<availability> state{availability::unknown};
    // Bumped whenever the store is marked down or its server, password or
    // timeout change: idle links of an older generation are closed instead
    // of used.
    std::atomic<std::uint64_t> generation{0};

    // Bumped whenever the master moves (a Sentinel named another one, a
    // reload another server or password): a failure on a link opened before
    // it is the old master's, not the new one's.
    std::atomic<std::uint64_t> master_epoch{0};

    std::mutex endpoint_mutex;
    // The master now: as last resolved by the writer, or named by a Sentinel.
    redis_endpoint endpoint;

    std::mutex observer_mutex;
    std::vector<std::function<void(const redis_endpoint&)>> master_observers;

    std::mutex idle_mutex;
    struct idle_link {
        std::uint64_t generation;
        std::unique_ptr<redis_link> link;
    };
    std::vector<idle_link> idle;

    std::mutex queue_mutex;
    std::condition_variable wake;
    std::deque<pending_write> queue;  // oldest first, at most config.queue_limit
    bool stopping = false;
    bool reconnect = false;  // the settings changed: the writer probes again at once
    // Held by the writer from taking a batch until it was answered or put
    // back, and by a purge of the queue: a purge never misses a batch in
    // flight (one that fails comes back to the queue before the purge looks).
    std::mutex batch_mutex;
    std::thread writer;
};

// The one state of the process (never destroyed: threads may still use it at exit).
store_state& store();

// Marks the store down (logged once per change, with why) or up.
void mark_down(std::string_view why);
// The same, unless the master moved since epoch (master_epoch) was read.
void mark_down(std::string_view why, std::uint64_t epoch);
void mark_up();

// Where every link is opened to: the master now.
redis_endpoint master_endpoint();
// Points the store at another master: idle links are closed, links in use
// are not kept, the writer probes it (at once with wake_writer, else at its
// next probe), and the observers are told, on the calling thread.  Nothing
// when it is the master already.
void point_at_master(const redis_endpoint& where, bool wake_writer);
// Called with the new master after each move, on the thread that found it
// (the writer's or the Sentinel watch's), and after a reload put another
// server, password or timeout in force (on the reloading thread); never on a
// connection thread.  Links kept elsewhere (a subscription) are opened again.
void on_master_change(std::function<void(const redis_endpoint&)> observer);

// An idle link (reused), or a new one opened by the deadline; nullptr when the
// store is down or the link could not be opened (status: how).
std::unique_ptr<redis_link> take_link(deadline by, link_status& status, bool& reused);
// A new link opened by the deadline; nullptr, the store marked down, when it
// could not be opened.
std::unique_ptr<redis_link> open_link(deadline by, link_status& status);
// Runs the exchange on the link.  One that idled is first checked: one that
// holds unread bytes or was closed is replaced by a new link; one that then
// fails (closed by the server meanwhile: a restart, its idle timeout) is
// tried once more on a new link, within the same deadline.  link is then the
// new one, or nullptr when none could be opened.
link_status exchange_on(std::unique_ptr<redis_link>& link, bool may_be_stale,
                        std::span<const redis_command> commands, std::vector<redis_reply>& replies,
                        deadline by, reply_limits limits = {});
// Keeps the link for the next caller (a working link only), unless the
// generation changed since the caller began.
void keep_link(std::unique_ptr<redis_link> link, std::uint64_t generation);

// Resolves the configured host name into the numeric address that links
// are opened to (a unix socket path is left as it is).
void resolve_endpoint();
// A host name's first numeric address (a numeric address as it is); none
// when it does not resolve.
std::optional<std::string> numeric_address(const std::string& host);

// Adds writes to the queue: new ones at the back, ones put back after a failed
// batch (older than any queued) at the front; then drops the oldest beyond
// the limit, counted.  Never waits on the network.
void enqueue(pending_write write);
void put_back(std::vector<pending_write>& batch);

// Removes the queued writes for which forget holds, without holding the
// queue's lock while it is asked; waits for the writer's batch in flight
// (at most one store timeout), which may come back to the queue.
void forget_queued(const std::function<bool(const pending_write&)>& forget);

// Removes the queued writes of the verdicts for which remove(status,
// address) holds (keys of the running prefix).
void forget_queued_verdicts(const shared_predicate& remove);

// The writer thread's body.
void run_writer();

}  // namespace kelvantor::shared_detail
