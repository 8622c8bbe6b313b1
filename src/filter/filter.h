// The filter's face towards libmilter: the registration record, the
// per-connection context and the callbacks.  The context is created by
// cb_connect and freed by cb_close, and nowhere else; it holds the backend
// conversations, one per server, which serve every recipient of the client
// connection until the end of the message's headers, an abort or the close
// ends them.
#pragma once

#include <libmilter/mfapi.h>

#include <vector>

#include "backend/conversation.h"

namespace kelvantor {

struct conn_ctx {
    // One conversation for each backend server in use by this client
    // connection, in the order they were opened; a recipient is only ever
    // probed at the server its own route names.
    std::vector<backend_conversation> conversations;

    // The conversation with server, open or not (a new one is added).
    backend_conversation& conversation_for(const backend_server& server);
    // Ends every open conversation politely: each goes to the background
    // closer, which sends RSET and QUIT; never waits for the backend.
    void end_conversations() noexcept;
};

extern struct smfiDesc filter_desc;

// With on, the registration negotiates the fast path: the MTA is asked not to
// send the stages the filter does not read, and DATA ends the backend
// conversations and accepts the message for this filter.  Set before
// smfi_register.
void filter_use_fast_path(bool on) noexcept;

// The context attached to a client connection, or nullptr.
inline conn_ctx* context_of(SMFICTX* ctx) noexcept {
    return static_cast<conn_ctx*>(smfi_getpriv(ctx));
}

sfsistat cb_connect(SMFICTX* ctx, char* hostname, _SOCK_ADDR* client) noexcept;
sfsistat cb_envfrom(SMFICTX* ctx, char** argv) noexcept;
sfsistat cb_envrcpt(SMFICTX* ctx, char** argv) noexcept;
sfsistat cb_eoh(SMFICTX* ctx) noexcept;
sfsistat cb_data(SMFICTX* ctx) noexcept;
sfsistat cb_negotiate(SMFICTX* ctx, unsigned long offered_actions, unsigned long offered_protocol,
                      unsigned long f2, unsigned long f3, unsigned long* actions,
                      unsigned long* protocol, unsigned long* pf2, unsigned long* pf3) noexcept;
sfsistat cb_abort(SMFICTX* ctx) noexcept;
sfsistat cb_close(SMFICTX* ctx) noexcept;

}  // namespace kelvantor
