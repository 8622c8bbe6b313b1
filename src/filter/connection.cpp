// Connection callbacks: create the context at connect and accept exempt
// clients at once, end the backend conversations at the end of the headers
// (every recipient of the message is known by then), at abort and at close,
// and free the context in cb_close only.
#include <netinet/in.h>

#include <algorithm>
#include <new>

#include "common/log.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "filter/filter.h"
#include "metrics/metrics.h"

namespace kelvantor {
namespace {

bool is_ipv6_loopback(const sockaddr* client) {
    const auto& bytes = reinterpret_cast<const sockaddr_in6*>(client)->sin6_addr.s6_addr;
    return std::all_of(bytes, bytes + 15, [](unsigned char b) { return b == 0; }) && bytes[15] == 1;
}

// Exempt by address: the IPv6 loopback, an exempt IPv4 network, or a client
// that is neither IPv4 nor IPv6 (libmilter gives no address for some).
bool exempt_by_address(const sockaddr* client) {
    if (client == nullptr) return true;
    switch (client->sa_family) {
        case AF_INET6:
            return is_ipv6_loopback(client);
        case AF_INET:
            return skip_net_match(reinterpret_cast<const sockaddr_in*>(client)->sin_addr.s_addr);
        default:
            return true;
    }
}

}  // namespace

backend_conversation& conn_ctx::conversation_for(const backend_server& server) {
    for (auto& conversation : conversations) {
        if (conversation.server() == server) return conversation;
    }
    auto& added = conversations.emplace_back();
    return added;
}

void conn_ctx::end_conversations() noexcept {
    for (auto& conversation : conversations) {
        if (conversation.is_open()) conversation.close();
    }
    conversations.clear();
}

sfsistat cb_connect(SMFICTX* ctx, char* /*hostname*/, _SOCK_ADDR* client) noexcept {
    auto* context = new (std::nothrow) conn_ctx;
    if (context == nullptr) {
        log_msg(LOG_ERR, "cannot allocate priv");
        return SMFIS_TEMPFAIL;
    }
    if (smfi_setpriv(ctx, context) == MI_FAILURE) {
        delete context;
        log_msg(LOG_ERR, "cannot setpriv");
        return SMFIS_TEMPFAIL;
    }
    char daemon_macro[] = "{daemon_name}";
    if (exempt_by_address(client) || skip_daemon_match(smfi_getsymval(ctx, daemon_macro))) {
        count_connection(connection_result::exempt);
        return SMFIS_ACCEPT;
    }
    count_connection(connection_result::checked);
    return SMFIS_CONTINUE;
}

sfsistat cb_envfrom(SMFICTX* /*ctx*/, char** /*argv*/) noexcept {
    return SMFIS_CONTINUE;
}

sfsistat cb_eoh(SMFICTX* ctx) noexcept {
    if (conn_ctx* context = context_of(ctx); context != nullptr) {
        context->end_conversations();
    }
    return SMFIS_CONTINUE;
}

// On the fast path every recipient is known at DATA: the conversations end
// and the message is the filter's no more (the MTA sends nothing more of it).
sfsistat cb_data(SMFICTX* ctx) noexcept {
    if (!settings.milter_fast_path) return SMFIS_CONTINUE;
    if (conn_ctx* context = context_of(ctx); context != nullptr) {
        context->end_conversations();
    }
    return SMFIS_ACCEPT;
}

sfsistat cb_abort(SMFICTX* ctx) noexcept {
    if (conn_ctx* context = context_of(ctx); context != nullptr) {
        context->end_conversations();
    }
    return SMFIS_CONTINUE;
}

sfsistat cb_close(SMFICTX* ctx) noexcept {
    if (conn_ctx* context = context_of(ctx); context != nullptr) {
        context->end_conversations();
        delete context;
    }
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

}  // namespace kelvantor
