// One SMTP conversation with one backend server, on behalf of one client
// connection: connect, banner, HELO and MAIL FROM once, then any number of
// RCPT TO probes, and a polite or silent end.  The object owns its socket;
// every way out of the conversation goes through end().  It logs what the
// backend did; what the MTA is told is the caller's business.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string_view>

#include "common/unique_fd.h"

namespace kelvantor {

enum class command_result;  // backend/smtp.h
class server_health;        // backend/server_health.h
class close_listener;       // backend/closer.h

// A backend server: its address (IPv4 or IPv6) and port, host order.
struct backend_server {
    sockaddr_storage address{};
    std::uint16_t port = 0;

    // Same family, address and port; the port stored inside address is not compared.
    bool operator==(const backend_server& other) const noexcept;
};

struct conversation_timeouts {
    std::chrono::milliseconds connect{1500};
    // Banner (plus the slow-banner allowance), RCPT TO, and each teardown reply.
    std::chrono::seconds reply{3};
};

enum class open_result {
    opened,
    no_socket,       // unusable address family, or no socket (logged)
    connect_failed,  // refused, timed out, ... ("cannot connect to backend SMTP at ..." logged)
    no_banner,       // no usable banner in time ("cannot read backend SMTP banner" logged)
    bad_banner,      // a banner too long or out of step (logged by the reader)
    unavailable,     // the banner begins with "5" ("backend SMTP service unavailable" logged)
    not_greeted,     // the banner is not "220"
    greeting_lost,   // HELO or MAIL FROM got no reply in step: the exchange failed
    stalled,         // refused at once: a conversation with this server has stalled
    no_memory,       // no buffer for the banner or the sender
};

enum class rcpt_outcome {
    accepted,      // 250: the recipient exists
    unknown_user,  // 550 or 553: it does not
    unjudged,      // any other whole reply
    failed,        // not sent, or no usable reply in time and in step (logged); conversation ended
    no_memory,     // no buffer for the command; the conversation goes on
};

enum class conversation_state { none, open, failed };

class backend_conversation {
public:
    backend_conversation() = default;
    ~backend_conversation();  // a conversation still open is dropped, not quit
    backend_conversation(backend_conversation&&) noexcept;
    backend_conversation& operator=(backend_conversation&&) noexcept;
    backend_conversation(const backend_conversation&) = delete;
    backend_conversation& operator=(const backend_conversation&) = delete;

    // Connects to server and greets it as helo_name (HELO, then MAIL FROM
    // postmaster+backscatter@helo_name).  Only from none or failed.  Each
    // failure is noted in the server's health block, as are those of rcpt().
    open_result open(const backend_server& server, const conversation_timeouts& timeouts,
                     const char* helo_name);

    // Probes one address with RCPT TO on the open conversation.
    rcpt_outcome rcpt(std::string_view address);
    // The code of the last whole RCPT TO reply (accepted, unknown_user or
    // unjudged), 0 when there was none.
    int last_rcpt_code() const noexcept { return rcpt_code_; }
    // RCPT TO commands sent, and of them answered 4xx or 5xx, since the conversation opened.
    std::uint32_t rcpt_count() const noexcept { return rcpts_; }
    std::uint32_t refused_count() const noexcept { return refusals_; }

    // Polite end: the socket goes to the background closer (backend/closer.h),
    // which sends RSET and QUIT, reads their replies and closes; never waits.
    // listener, if any, is told when the socket is closed.
    void close(close_listener* listener = nullptr) noexcept;
    // Silent end: close without a word to the backend.
    void drop() noexcept;

    conversation_state state() const noexcept { return state_; }
    bool is_open() const noexcept { return state_ == conversation_state::open; }
    const backend_server& server() const noexcept { return server_; }
    // The health block of the server; only once open() was called.
    server_health& health() const noexcept { return *health_; }
    int fd() const noexcept { return fd_.get(); }

private:
    enum class ending { polite, silent, failure };
    void end(ending how, close_listener* listener = nullptr) noexcept;
    open_result greet(const char* helo_name, bool trial);
    // A greeting command (reply 250 expected), its wait watched for stalls.
    command_result watched_command(const char* verb, const char* argument, bool trial);

    unique_fd fd_;
    conversation_state state_ = conversation_state::none;
    backend_server server_;
    server_health* health_ = nullptr;
    std::chrono::seconds reply_wait_{3};
    int rcpt_code_ = 0;
    std::uint32_t rcpts_ = 0;
    std::uint32_t refusals_ = 0;
};

// Whether RCPT TO:<address> can go to a backend as it is: no control
// character (which could inject commands) and short enough for one command
// line of the block it is written from.
bool rcpt_address_writable(std::string_view address) noexcept;

// Extra seconds, 0 to 5, added to every banner wait after banners or HELO
// replies failed to come; it only grows, one at a time, while the process runs.
std::chrono::seconds slow_banner_allowance() noexcept;
inline constexpr std::uint32_t slow_banner_allowance_max = 5;
// Raises it by a second (logged "increased smtpwait to %d") unless at the maximum.
void raise_slow_banner_allowance() noexcept;
// Back to 0 (tests).
void reset_slow_banner_allowance() noexcept;

}  // namespace kelvantor
