// One connection to the Redis server of the shared verdict store, through
// hiredis in non-blocking mode, so that every exchange (connect and AUTH
// included) ends by a deadline: commands are pipelined, replies read until
// all have come or the time is up.  A link that timed out or failed is out
// of step with its server and must be dropped.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvantor::shared_detail {

// Where the store listens: a host (name or numeric address) and a port, or a
// unix socket path (port 0).
struct redis_endpoint {
    std::string host;
    int port = 0;
    bool unix_socket = false;
};

using deadline = std::chrono::steady_clock::time_point;

struct reply_deleter {
    void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using redis_reply = std::unique_ptr<redisReply, reply_deleter>;

// How an exchange ended: every reply read; the deadline passed first; the
// connection failed (closed, refused, a protocol error).
enum class link_status { done, timeout, failed };

// One command: its words, sent binary-safe.
using redis_command = std::vector<std::string_view>;

class redis_link {
public:
    redis_link() = default;

    // Connects and, with a password, authenticates, by the deadline; on
    // failure the status and, in error, what went wrong.
    link_status open(const redis_endpoint& where, const std::optional<std::string>& password,
                     deadline by, std::string& error);

    bool is_open() const noexcept { return context_ != nullptr; }

    // Sends the commands in one write and reads one reply each, in order.
    link_status exchange(std::span<const redis_command> commands, std::vector<redis_reply>& replies,
                         deadline by);

    // What the last failure was, as hiredis or the system told it.
    std::string last_error() const;

private:
    struct context_deleter {
        void operator()(redisContext* context) const noexcept { redisFree(context); }
    };
    link_status wait(short events, deadline by);
    std::unique_ptr<redisContext, context_deleter> context_;
    std::string error_;
};

}  // namespace kelvantor::shared_detail
