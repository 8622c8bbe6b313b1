// The shared verdict store: a Redis server that a fleet of filters uses as
// the second level behind each one's in-process cache.  A verdict is kept
// under prefix + "<" + the case-folded address + ">" as "STATUS UNIXSECONDS"
// (the wall clock time it was learnt), with a Redis expiry of what is left of
// its class's lifetime when it is written.
// Lookups are made on the caller's thread, each bounded by the timeout;
// writes go through a bounded queue to a writer thread, which also watches
// the server's state: while the server fails, every call returns at once,
// and the verdicts learnt meanwhile wait in the queue until it is back.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "shared/push_message.h"

namespace kelvantor {

// A Redis Sentinel that names the store's master.
struct shared_sentinel {
    std::string host;
    int port = 0;
    bool operator==(const shared_sentinel&) const = default;
};

struct shared_store_config {
    std::string host;  // a name or numeric address; with unix_socket, the socket's path
    int port = 0;
    bool unix_socket = false;
    std::string prefix = "kelvantor:";
    std::chrono::milliseconds timeout{50};   // per operation, connecting included
    std::optional<std::string> password;     // AUTH, when given
    std::chrono::seconds valid_lifetime{0};  // the Redis expiry of a valid verdict
    std::chrono::seconds invalid_lifetime{0};
    std::size_t queue_limit = 65536;  // writes waiting at most; the oldest are dropped
    // With Sentinels, host and port are unused: the master is the one they
    // name for master_name, asked in order, and followed through failovers.
    std::vector<shared_sentinel> sentinels;
    std::string master_name;
    std::optional<std::string> sentinel_password;  // AUTH towards the Sentinels
    // Pushes what is learnt and purged to the fleet's other filters on the
    // prefix's channel, and takes theirs (a subscriber thread); fixed at start.
    bool push = false;
};

// Starts the writer thread (after a fork of daemon mode); false when it
// cannot.  Until then, and without a call, every other call does nothing.
bool shared_store_start(const shared_store_config& config);

// Puts a reloaded configuration in force while lookups run: an operation
// under way finishes on the one it began with.  Another server, password or
// timeout closes the links of the old one and has the writer probe the new
// one at once.  False when the store was not started or memory ran out.
bool shared_store_reconfigure(const shared_store_config& config);

// Gives the writer what is queued to send within one timeout, then stops it.
void shared_store_stop();

bool shared_store_enabled() noexcept;

// A verdict found in the shared store, with its age by this host's wall clock
// (0 when it was stamped in the future).
struct shared_verdict {
    std::uint32_t status;
    std::int64_t age;
};

// The store's verdict for the address, or none: no such key, a value that is
// not a verdict, or no answer within the timeout.
std::optional<shared_verdict> shared_lookup(std::string_view address);

// Queues the verdict learnt at that time for the writer, also while the store
// is down; never waits on the network or on the writer.  Only valid and
// invalid verdicts are shared.
void shared_publish(std::string_view address, std::uint32_t status, wall_time learnt);

// What a purge did in the store: whether it answered, and the keys removed.
struct shared_purge_result {
    bool reached = false;
    std::size_t removed = 0;
};

// Removes the address's verdict from the store, and from the queue; with
// push, then tells the fleet's other filters.
shared_purge_result shared_purge(std::string_view address);

// Removes every verdict for which remove(status, address) holds, from the
// queue and from the store, scanning the keys under the prefix (SCAN, never
// KEYS) a batch per round trip; with push, then tells the fleet's other
// filters the purge as notice describes it (purge_domain, purge_subdomains
// or purge_invalid, and the domain).
using shared_predicate = std::function<bool(std::uint32_t status, std::string_view address)>;
struct purge_notice {
    push_kind kind;
    std::string_view subject;
};
shared_purge_result shared_purge_if(const shared_predicate& remove,
                                    std::optional<purge_notice> notice = std::nullopt);

// The Redis key of an address: the prefix, then the address with ASCII
// capitals folded to lower case, between "<" and ">"; none for an address
// that holds either, which is never shared.  As no stored address holds a
// "<", a key made with one prefix is never one made with another, even when
// one prefix begins with the other (keys of "kv:" and "kv:<x" differ too).
std::optional<std::string> shared_key(std::string_view prefix, std::string_view address);
// The address of a key made with this prefix; none for any other key, also
// for the keys of a prefix that begins with this one.
std::optional<std::string_view> shared_key_address(std::string_view prefix, std::string_view key);

// The stored form of a verdict and its reading back; none for anything
// else than "STATUS SECONDS" with a status of 0 or 1.
std::string shared_value(std::uint32_t status, std::int64_t learnt_unix);
struct stored_verdict {
    std::uint32_t status;
    std::int64_t learnt_unix;
};
std::optional<stored_verdict> parse_shared_value(std::string_view value);

}  // namespace kelvantor
