// The three ways a client connection's backend conversation ends, on top of
// the backend client: politely, silently, and silently with a 451 reply.
#include "backend/smtp.h"
#include "filter/filter.h"

namespace kelvantor {

void set_reply(SMFICTX* ctx, const char* code, const char* status, const char* text) noexcept {
    // libmilter copies the strings and does not change them.
    smfi_setreply(ctx, const_cast<char*>(code), const_cast<char*>(status), const_cast<char*>(text));
}

void backend_close(SMFICTX* ctx) noexcept {
    if (conn_ctx* context = context_of(ctx); context != nullptr) smtp_quit(context->backend_fd);
}

void backend_drop(SMFICTX* ctx) noexcept {
    if (conn_ctx* context = context_of(ctx); context != nullptr) {
        close_backend_socket(context->backend_fd, "socket close error %s");
    }
}

void backend_fail(SMFICTX* ctx) noexcept {
    if (conn_ctx* context = context_of(ctx); context != nullptr) {
        close_backend_socket(context->backend_fd, "close fd error %s");
    }
    set_reply(ctx, "451", "4.7.0", "Internal error");
}

}  // namespace kelvantor
