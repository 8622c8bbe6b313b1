// One SMTP conversation with one backend server.  Replies are taken only
// whole and in the order of the commands that asked for them: a reply that
// does not come whole within its wait, or bytes that come unasked, end the
// conversation, so that no command is ever judged on another's reply.
#include "backend/conversation.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "backend/closer.h"
#include "backend/reply.h"
#include "backend/server_health.h"
#include "backend/smtp.h"
#include "backend/socket_io.h"
#include "backend/stall_guard.h"
#include "common/log.h"

namespace kelvantor {
namespace {

constexpr const char* probe_sender = "postmaster+backscatter";
// "RCPT TO:<" and ">\r\n" around the address, and the terminating NUL.
constexpr std::size_t rcpt_overhead = 9 + 3 + 1;

std::atomic<std::uint32_t> banner_allowance{0};

void warn_cannot_connect(const backend_server& server, int error) {
    log_msg(LOG_WARNING, "cannot connect to backend SMTP at %s status %s", name_of(server).host,
            std::strerror(error));
}

bool same_address(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
        const auto& b6 = reinterpret_cast<const sockaddr_in6&>(b);
        return std::memcmp(&a6.sin6_addr, &b6.sin6_addr, sizeof a6.sin6_addr) == 0 &&
               a6.sin6_scope_id == b6.sin6_scope_id;
    }
    return true;  // neither: no server at all
}

}  // namespace

bool backend_server::operator==(const backend_server& other) const noexcept {
    return port == other.port && same_address(address, other.address);
}

backend_conversation::~backend_conversation() {
    end(ending::silent);
}

backend_conversation::backend_conversation(backend_conversation&& other) noexcept
    : fd_(std::move(other.fd_)),
      state_(std::exchange(other.state_, conversation_state::none)),
      server_(other.server_),
      health_(other.health_),
      reply_wait_(other.reply_wait_),
      rcpt_code_(other.rcpt_code_),
      rcpts_(std::exchange(other.rcpts_, 0)),
      refusals_(std::exchange(other.refusals_, 0)) {}

backend_conversation& backend_conversation::operator=(backend_conversation&& other) noexcept {
    if (this != &other) {
        end(ending::silent);
        fd_ = std::move(other.fd_);
        state_ = std::exchange(other.state_, conversation_state::none);
        server_ = other.server_;
        health_ = other.health_;
        reply_wait_ = other.reply_wait_;
        rcpt_code_ = other.rcpt_code_;
        rcpts_ = std::exchange(other.rcpts_, 0);
        refusals_ = std::exchange(other.refusals_, 0);
    }
    return *this;
}

void backend_conversation::end(ending how, close_listener* listener) noexcept {
    if (fd_ && how == ending::polite) {
        // RSET and QUIT go out from the closer's thread, not the caller's.
        backend_closer().take(std::move(fd_), reply_wait_ + slow_banner_allowance(), listener);
    } else if (fd_) {
        if (fd_.reset() != 0) {
            if (how == ending::failure) {
                log_msg(LOG_ERR, "close fd error %s", std::strerror(errno));
            } else {
                log_msg(LOG_ERR, "socket close error %s", std::strerror(errno));
            }
        }
    }
    state_ = how == ending::polite ? conversation_state::none : conversation_state::failed;
}

void backend_conversation::close(close_listener* listener) noexcept {
    end(ending::polite, listener);
}

void backend_conversation::drop() noexcept {
    end(ending::silent);
}

open_result backend_conversation::open(const backend_server& server,
                                       const conversation_timeouts& timeouts,
                                       const char* helo_name) {
    end(ending::silent);  // never two sockets at once
    rcpts_ = 0;
    refusals_ = 0;
    server_ = server;
    health_ = &server_health_of(server);
    reply_wait_ = timeouts.reply;
    const auto admission = backend_stall_guard().admit(
        server, stall_threshold(timeouts.reply, slow_banner_allowance()),
        stall_guard::clock::now());
    if (admission == stall_guard::admission::refused) {
        health_->note_error("circuit open");
        return open_result::stalled;
    }

    backend_socket opened = backend_open(server.port, timeouts.connect, server.address);
    fd_ = std::move(opened.fd);
    if (opened.status == connect_status::no_socket) {
        state_ = conversation_state::none;  // the next recipient tries again
        health_->note_error("no socket", opened.error);
        return open_result::no_socket;
    }
    if (opened.status != connect_status::connected) {
        const int error = opened.error;
        end(ending::silent);
        warn_cannot_connect(server, error);
        health_->note_error("cannot connect", error);
        return open_result::connect_failed;
    }
    state_ = conversation_state::open;

    reply_buffer banner;
    if (!banner.valid()) {
        end(ending::silent);
        return open_result::no_memory;
    }
    const reply_read read = read_reply(fd_.get(), banner, timeouts.reply + slow_banner_allowance());
    if (read.status == reply_status::too_long || read.status == reply_status::overrun) {
        end(ending::silent);
        health_->note_error("banner too long or out of step");
        return open_result::bad_banner;
    }
    const reply_kind kind = read.status == reply_status::complete
                                ? classify_reply(std::string_view(banner.data(), read.length))
                                : reply_kind::unusable;
    if (kind == reply_kind::unusable) {
        end(ending::silent);
        log_msg(LOG_WARNING, "cannot read backend SMTP banner");
        health_->note_error("no banner in time");
        raise_slow_banner_allowance();
        return open_result::no_banner;
    }
    if (is_permanent_failure(kind)) {
        log_msg(LOG_ERR, "backend SMTP service unavailable");
        health_->note_error("banner 5xx: service unavailable");
        end(ending::failure);
        return open_result::unavailable;
    }
    if (kind != reply_kind::greeting) {
        end(ending::failure);
        health_->note_error("banner not 220");
        return open_result::not_greeted;
    }
    // A trial of a server that stalled waits as long as any conversation:
    // cut short, it would answer differently than one.
    return greet(helo_name, admission == stall_guard::admission::trial);
}

command_result backend_conversation::watched_command(const char* verb, const char* argument,
                                                     bool trial) {
    stall_guard& guard = backend_stall_guard();
    const std::uint64_t token = guard.begin_wait(server_, trial, stall_guard::clock::now());
    const command_result result = smtp_command(fd_.get(), verb, argument, "250");
    guard.end_wait(token, stall_guard::clock::now());
    return result;
}

open_result backend_conversation::greet(const char* helo_name, bool trial) {
    // A refused HELO or MAIL FROM does not end the conversation: the probe
    // still goes out and its own reply decides.  A reply that never came
    // does, since a late one would be taken for the next command's.
    const command_result helo = watched_command("HELO", helo_name, trial);
    if (helo == command_result::no_reply || helo == command_result::short_reply) {
        raise_slow_banner_allowance();
    }
    if (helo == command_result::no_reply || helo == command_result::broken) {
        end(ending::silent);
        health_->note_error("no reply to HELO");
        return open_result::greeting_lost;
    }

    reply_buffer sender;
    if (!sender.valid()) {
        end(ending::silent);
        return open_result::no_memory;
    }
    std::snprintf(sender.data(), sender.size(), ":<%s@%s>", probe_sender, helo_name);
    const command_result mail = watched_command("MAIL FROM", sender.data(), trial);
    if (mail == command_result::no_reply || mail == command_result::broken) {
        end(ending::silent);
        health_->note_error("no reply to MAIL FROM");
        return open_result::greeting_lost;
    }
    return open_result::opened;
}

rcpt_outcome backend_conversation::rcpt(std::string_view address) {
    if (!is_open()) return rcpt_outcome::failed;
    reply_buffer command;
    if (!command.valid()) return rcpt_outcome::no_memory;
    const int length = std::snprintf(command.data(), command.size(), "RCPT TO:<%.*s>\r\n",
                                     static_cast<int>(address.size()), address.data());

    // Whatever came since the last reply was not asked for: the backend is
    // not where this conversation thinks it is.
    if (has_unasked_bytes(fd_.get())) {
        log_msg(LOG_ERR, "backend reply out of step on fd %d", fd_.get());
        health_->note_error("reply out of step");
        end(ending::failure);
        return rcpt_outcome::failed;
    }
    ++rcpts_;
    if (write_all(fd_.get(), command.data(), length) < 0) {
        health_->note_error("cannot send RCPT TO", errno);
        end(ending::failure);
        log_msg(LOG_ERR, "cannot send rcptto");
        return rcpt_outcome::failed;
    }
    const reply_read read = read_reply(fd_.get(), command, reply_wait_);
    const std::string_view reply(command.data(), read.length);
    const reply_kind kind =
        read.status == reply_status::complete ? classify_reply(reply) : reply_kind::unusable;
    rcpt_code_ = kind == reply_kind::unusable ? 0 : reply_code(reply);
    if (rcpt_code_ >= 400) ++refusals_;  // servers count 4xx and 5xx as errors alike
    switch (kind) {
        case reply_kind::unusable:
            log_msg(LOG_ERR, "cannot read rcptto reply on  %d", fd_.get());
            health_->note_error("no reply to RCPT TO");
            end(ending::failure);
            return rcpt_outcome::failed;
        case reply_kind::accepted:
            return rcpt_outcome::accepted;
        case reply_kind::unknown_user:
            return rcpt_outcome::unknown_user;
        default:
            return rcpt_outcome::unjudged;
    }
}

bool rcpt_address_writable(std::string_view address) noexcept {
    for (const char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    return address.size() + rcpt_overhead <= reply_block_size;
}

std::chrono::seconds slow_banner_allowance() noexcept {
    return std::chrono::seconds(banner_allowance.load(std::memory_order_relaxed));
}

void raise_slow_banner_allowance() noexcept {
    std::uint32_t current = banner_allowance.load(std::memory_order_relaxed);
    while (current < slow_banner_allowance_max) {
        if (banner_allowance.compare_exchange_weak(current, current + 1,
                                                   std::memory_order_relaxed)) {
            log_msg(LOG_INFO, "increased smtpwait to %u", current + 1);
            return;
        }
    }
}

void reset_slow_banner_allowance() noexcept {
    banner_allowance.store(0, std::memory_order_relaxed);
}

}  // namespace kelvantor
