// One connection to the Redis server of the shared verdict store, through
// hiredis in non-blocking mode, so that every exchange (connect and AUTH
// included) ends by a deadline: commands are pipelined, replies read until
// all have come or the time is up.  What an exchange may receive is bounded
// (bytes, and array elements announced), so that no reply the server sends
// makes hiredis allocate, walk or free much.  A link that timed out or failed
// is out of step with its server and must be dropped, as must one that holds
// a byte nobody asked for.
#pragma once

#include <hiredis/hiredis.h>

#include <algorithm>
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

// The bytes of a string, status or error reply.
inline std::string_view text_of(const redisReply& reply) noexcept {
    return {reply.str, reply.len};
}
// Whether reply is there and a string or status reply.
inline bool is_text(const redisReply* reply) noexcept {
    return reply != nullptr &&
           (reply->type == REDIS_REPLY_STRING || reply->type == REDIS_REPLY_STATUS);
}

// How an exchange ended: every reply read; the deadline passed first; the
// connection failed (closed, refused, a protocol error).
enum class link_status { done, timeout, failed };

// One command: its words, sent binary-safe.
using redis_command = std::vector<std::string_view>;

// The most one exchange may receive: bytes, and array elements announced by
// all its replies together (hiredis allocates an array as long as its header
// says, before any element has come, and walks all of it when freeing it).
struct reply_limits {
    std::size_t bytes = std::size_t{64} << 10;
    std::size_t elements = 0;
};

// hiredis's reply reader held to reply_limits: an array header beyond the
// elements left is refused (a protocol error) before hiredis allocates
// anything for it, and bytes beyond the bytes left are never fed.
class bounded_reader {
public:
    bounded_reader() = default;
    bounded_reader(const bounded_reader&) = delete;
    bounded_reader& operator=(const bounded_reader&) = delete;

    // Takes over the reader's reply functions; the reader must not outlive
    // this object.
    void attach(redisReader* reader) noexcept;
    // What may be received from now on.
    void limit(reply_limits limits) noexcept;
    std::size_t bytes_left() const noexcept { return bytes_left_; }

    // Appends received bytes; false when they are more than the bytes left
    // or hiredis cannot take them.
    bool feed(const char* data, std::size_t size) noexcept;
    // The next whole reply, or nullptr while more bytes are needed; false on
    // a protocol error or a refused array.
    bool next(redis_reply& reply) noexcept;
    // True when nothing received is left unread.
    bool drained() const noexcept;
    // Bytes received and not yet read as a reply.
    std::size_t unread() const noexcept;
    std::string error() const;

private:
    static void* create_array(const redisReadTask* task, int elements);

    redisReader* reader_ = nullptr;
    const redisReplyObjectFunctions* hiredis_ = nullptr;
    std::size_t bytes_left_ = 0;
    std::size_t elements_left_ = 0;
    bool refused_ = false;
};

class redis_link {
public:
    redis_link() = default;
    // The reader points back into the link: it stays where it was made.
    redis_link(const redis_link&) = delete;
    redis_link& operator=(const redis_link&) = delete;

    // Connects and, with a password, authenticates, by the deadline; on
    // failure the status and, in error, what went wrong.
    link_status open(const redis_endpoint& where, const std::optional<std::string>& password,
                     deadline by, std::string& error);

    bool is_open() const noexcept { return context_ != nullptr; }

    // Sends the commands in one write and reads one reply each, in order,
    // receiving no more than limits allow.  Bytes left over after the last
    // reply make the exchange fail: its replies cannot be told from answers
    // nobody asked for.
    link_status exchange(std::span<const redis_command> commands, std::vector<redis_reply>& replies,
                         deadline by, reply_limits limits = {});

    // For a subscription: sends the commands without waiting for replies,
    // then reads what the server pushes one reply at a time.  next_pushed
    // waits until the deadline for a whole reply (timeout, reply left empty,
    // when none came: the link stays fit); each reply may take limits anew,
    // so that a steady stream is read while no single reply grows beyond them.
    link_status send(std::span<const redis_command> commands, deadline by);
    link_status next_pushed(redis_reply& reply, deadline by, reply_limits limits);

    // True when the link is fit to be used again: nothing unread, and the
    // socket neither holds bytes nor has been closed by the server (one
    // non-blocking recv with MSG_PEEK).
    bool quiet() const;

    // What the last failure was, as hiredis or the system told it.
    std::string last_error() const;

private:
    struct context_deleter {
        void operator()(redisContext* context) const noexcept { redisFree(context); }
    };
    link_status wait(short events, deadline by);
    link_status receive(std::size_t room);
    // Declared first: the context's reader calls into it until it is freed.
    bounded_reader reader_;
    std::unique_ptr<redisContext, context_deleter> context_;
    std::string error_;
    bool reply_begun_ = false;  // next_pushed: the allowance of a reply under way is in use
};

// Tells a subscription whose server no longer answers (hung, or behind a
// path that lost it without a reset): after heartbeat_quiet with nothing
// received a PING goes out, and a server that sends nothing within the
// timeout after it (at least heartbeat_grace: a server busy for a moment,
// forking for a save, is not left) is gone.  Its answer is a reply of the
// subscription's own (is_pong).
constexpr std::chrono::seconds heartbeat_quiet{2};
constexpr std::chrono::seconds heartbeat_grace{1};
class subscription_heartbeat {
public:
    explicit subscription_heartbeat(std::chrono::milliseconds timeout)
        : timeout_(std::max<std::chrono::milliseconds>(timeout, heartbeat_grace)) {}
    // Before each wait for a reply: sends the PING when it is due; failed,
    // with error set, once the server is gone.
    link_status check(redis_link& link, std::string& error);
    // A reply came.
    void heard();

private:
    std::chrono::milliseconds timeout_;
    std::chrono::steady_clock::time_point last_heard_ = std::chrono::steady_clock::now();
    bool pinged_ = false;
    std::chrono::steady_clock::time_point pinged_at_{};
};

// The answer to a PING on a subscribed link: ["pong", ""].
bool is_pong(const redisReply& reply) noexcept;

}  // namespace kelvantor::shared_detail
