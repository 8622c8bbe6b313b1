// Recipient verification: for each RCPT TO of a routed domain, the cached
// verdict or else the backend's own answer to RCPT TO on the client
// connection's backend conversation.  Unknown users are rejected with 550
// 5.1.1; backend trouble never rejects (it passes or defers, as configured).
#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "backend/smtp.h"
#include "backend/socket_io.h"
#include "cache/verdict_cache.h"
#include "common/log.h"
#include "common/rwlock.h"
#include "filter/filter.h"
#include "routing/routes.h"
#include "startup/settings.h"

namespace kelvantor {

std::atomic<std::uint32_t> smtpwait{0};

namespace {

constexpr const char* probe_sender = "postmaster+backscatter";
// "RCPT TO:<" and ">\r\n" around the address, and the terminating NUL.
constexpr std::size_t rcpt_overhead = 9 + 3 + 1;

sfsistat reject_unknown(SMFICTX* ctx) {
    set_reply(ctx, "550", "5.1.1", " User unknown");
    return SMFIS_REJECT;
}

// The answer when the backend cannot be reached or greeted: defer or pass.
sfsistat failure_answer(SMFICTX* ctx) {
    if (settings.tempfail_on_error) {
        set_reply(ctx, "451", "4.7.0", "Internal error");
        return SMFIS_TEMPFAIL;
    }
    return SMFIS_CONTINUE;
}

void raise_smtpwait() {
    std::uint32_t raised_to = 0;
    {
        KV_WRITE_LOCK(cache_lock);
        const std::uint32_t current = smtpwait.load(std::memory_order_relaxed);
        if (current < smtpwait_max) {
            raised_to = current + 1;
            smtpwait.store(raised_to, std::memory_order_relaxed);
        }
    }
    if (raised_to != 0) log_msg(LOG_INFO, "increased smtpwait to %u", raised_to);
}

// Control characters would let a recipient inject commands into the backend
// conversation, and an address too long for the command line would be cut.
bool writable_address(const char* address) {
    std::size_t length = 0;
    for (const char* p = address; *p != '\0'; ++p, ++length) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || byte == 0x7f) return false;
    }
    return length + rcpt_overhead <= reply_block_size;
}

socklen_t address_length(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

void warn_cannot_connect(const sockaddr_storage& address, int error) {
    char host[256];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), address_length(address), host,
                    sizeof host, nullptr, 0, NI_NUMERICHOST) == 0) {
        log_msg(LOG_WARNING, "cannot connect to backend SMTP at %s status %s", host,
                std::strerror(error));
    }
}

// Connects, reads the banner and greets with HELO and MAIL FROM.  Returns
// true with an open conversation, or false after giving up on the backend.
bool open_conversation(SMFICTX* ctx, conn_ctx& context) {
    const int opened =
        backend_open(context.backend_fd, static_cast<std::uint16_t>(context.port),
                     std::chrono::milliseconds(settings.connect_timeout_ms), context.backend_addr);
    if (opened == -3) {
        // No socket could be made: let the next recipient try again.
        if (context.backend_fd == -1) context.backend_fd = NO_BACKEND;
        return false;
    }
    if (opened != 0) {
        const int error = errno;
        backend_drop(ctx);
        warn_cannot_connect(context.backend_addr, error);
        return false;
    }

    reply_buffer banner;
    if (!banner.valid()) {
        backend_drop(ctx);
        return false;
    }
    const auto banner_wait =
        std::chrono::seconds(smtpwait.load(std::memory_order_relaxed) +
                             static_cast<std::uint32_t>(settings.reply_timeout));
    const int received = read_reply(context.backend_fd, banner, banner_wait);
    if (received <= 4) {
        backend_drop(ctx);
        log_msg(LOG_WARNING, "cannot read backend SMTP banner");
        raise_smtpwait();
        return false;
    }
    if (banner.data()[0] == '5') {
        log_msg(LOG_ERR, "backend SMTP service unavailable");
        backend_fail(ctx);
        return false;
    }
    if (std::memcmp(banner.data(), "220", 3) != 0) {
        backend_fail(ctx);
        return false;
    }

    const int helo = smtp_command(context.backend_fd, "HELO", helo_name, "250");
    if (helo == SMTP_NO_REPLY) raise_smtpwait();
    if (helo == SMTP_TOO_LONG) {
        backend_drop(ctx);
        return false;
    }

    reply_buffer sender;
    if (!sender.valid()) {
        backend_drop(ctx);
        return false;
    }
    std::snprintf(sender.data(), sender.size(), ":<%s@%s>", probe_sender, helo_name);
    if (smtp_command(context.backend_fd, "MAIL FROM", sender.data(), "250") == SMTP_TOO_LONG) {
        backend_drop(ctx);
        return false;
    }
    return true;
}

// Sends RCPT TO for the address and judges the backend's reply.
sfsistat probe(SMFICTX* ctx, conn_ctx& context, const char* address) {
    if (context.backend_fd < 0) return SMFIS_CONTINUE;

    reply_buffer command;
    if (!command.valid()) return SMFIS_TEMPFAIL;
    const int length = std::snprintf(command.data(), command.size(), "RCPT TO:<%s>\r\n", address);
    if (write_all(context.backend_fd, command.data(), length) < 0) {
        backend_fail(ctx);
        log_msg(LOG_ERR, "cannot send rcptto");
        return SMFIS_TEMPFAIL;
    }
    const int received =
        read_reply(context.backend_fd, command, std::chrono::seconds(settings.reply_timeout));
    if (received <= 4) {
        log_msg(LOG_ERR, "cannot read rcptto reply on  %d", context.backend_fd);
        backend_fail(ctx);
        return SMFIS_TEMPFAIL;
    }

    const char* reply = command.data();
    if (std::memcmp(reply, "250", 3) == 0) {
        verdict_add(address, VERDICT_VALID);
        return SMFIS_CONTINUE;
    }
    if (std::memcmp(reply, "550", 3) == 0 || std::memcmp(reply, "553", 3) == 0) {
        verdict_add(address, VERDICT_INVALID);
        return reject_unknown(ctx);
    }
    // Other 2xx answers pass unjudged; so does every temporary or other answer.
    return SMFIS_CONTINUE;
}

sfsistat verify_recipient(SMFICTX* ctx) {
    conn_ctx* context = context_of(ctx);
    char rcpt_macro[] = "{rcpt_addr}";
    const char* address = smfi_getsymval(ctx, rcpt_macro);
    if (address == nullptr) {
        log_msg(LOG_ERR, "cannot get rcpt address");
        return SMFIS_TEMPFAIL;
    }
    if (context == nullptr) return SMFIS_CONTINUE;

    const route_target route = route_lookup(domain_of(address));
    context->port = static_cast<std::int16_t>(route.port);
    context->backend_addr = route.server_addr;
    if (context->backend_addr.ss_family == AF_UNSPEC) return SMFIS_CONTINUE;

    if (const auto verdict = verdict_lookup(address); verdict.has_value()) {
        if (*verdict == VERDICT_VALID) return SMFIS_CONTINUE;
        if (*verdict == VERDICT_INVALID) return reject_unknown(ctx);
    }

    if (!writable_address(address)) {
        log_msg(LOG_ERR, "invalid rcpt address");
        return failure_answer(ctx);
    }
    if (context->backend_fd == NO_BACKEND && !open_conversation(ctx, *context)) {
        return failure_answer(ctx);
    }
    return probe(ctx, *context, address);
}

}  // namespace

const char* domain_of(const char* address) noexcept {
    const char* at = std::strrchr(address, '@');
    if (at != nullptr && at[1] != '\0') return at + 1;
    // The last "@" ends the address: look for an earlier one with text after it.
    if (at != nullptr) {
        for (const char* p = at; p != address;) {
            --p;
            if (*p == '@') return p + 1;
        }
    }
    return address;
}

sfsistat cb_envrcpt(SMFICTX* ctx, char** /*argv*/) noexcept {
    try {
        return verify_recipient(ctx);
    } catch (...) {
        // Lack of memory deep down: defer rather than judge.
        return SMFIS_TEMPFAIL;
    }
}

}  // namespace kelvantor
