// The filter's face towards libmilter: the registration record, the
// per-connection context and the callbacks.  The context is created by
// cb_connect and freed by cb_close, and nowhere else; it holds at most one
// backend connection, which serves every recipient of the client connection
// until the first header, an abort or the close ends it.
#pragma once

#include <libmilter/mfapi.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>

namespace kelvantor {

struct conn_ctx {
    std::int16_t port = 0;            // backend port of the recipient being handled (its 16 bits)
    int backend_fd;                   // open backend socket, or NO_BACKEND
    sockaddr_storage backend_addr{};  // backend of the recipient; AF_UNSPEC: no route

    conn_ctx() noexcept;
    ~conn_ctx();  // closes a backend socket that is somehow still open
    conn_ctx(const conn_ctx&) = delete;
    conn_ctx& operator=(const conn_ctx&) = delete;
};

extern struct smfiDesc filter_desc;

// The context attached to a client connection, or nullptr.
inline conn_ctx* context_of(SMFICTX* ctx) noexcept {
    return static_cast<conn_ctx*>(smfi_getpriv(ctx));
}

// Extra seconds, 0 to 5, added to the wait for backend banners.  Raised one
// at a time under cache_lock; read without a lock.
extern std::atomic<std::uint32_t> smtpwait;
inline constexpr std::uint32_t smtpwait_max = 5;

sfsistat cb_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* client) noexcept;
sfsistat cb_envfrom(SMFICTX* ctx, char** argv) noexcept;
sfsistat cb_envrcpt(SMFICTX* ctx, char** argv) noexcept;
sfsistat cb_header(SMFICTX* ctx, char* name, char* value) noexcept;
sfsistat cb_data(SMFICTX* ctx) noexcept;
sfsistat cb_abort(SMFICTX* ctx) noexcept;
sfsistat cb_close(SMFICTX* ctx) noexcept;

// The domain part of an address: the text after the last "@" that has at
// least one character after it, or the whole address.  Points into address.
const char* domain_of(const char* address) noexcept;

// Ends the connection's backend conversation politely (RSET, QUIT, close).
void backend_close(SMFICTX* ctx) noexcept;
// Closes the backend socket without a word to the backend.
void backend_drop(SMFICTX* ctx) noexcept;
// Closes it likewise and sets the reply "451" "4.7.0" "Internal error".
void backend_fail(SMFICTX* ctx) noexcept;

// Sets a reply for the MTA (code, extended status, text).
void set_reply(SMFICTX* ctx, const char* code, const char* status, const char* text) noexcept;

}  // namespace kelvantor
