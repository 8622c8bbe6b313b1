// kv-fixture-milter: a small libmilter filter with scripted answers, the
// peer for the milter client's own tests.  Host names, senders, recipients and
// headers pick its answer; "echo" cases reject with a reply text that repeats
// what the filter received, so a test can check the client's encoding.
// Usage: kv-fixture-milter --socket SPEC [--no-reply-headers]
#include <arpa/inet.h>
#include <libmilter/mfapi.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct conn_state {
    std::size_t body_bytes = 0;
};

conn_state* state(SMFICTX* ctx) {
    return static_cast<conn_state*>(smfi_getpriv(ctx));
}

std::string macro(SMFICTX* ctx, const char* name) {
    const char* value = smfi_getsymval(ctx, const_cast<char*>(name));
    return value != nullptr ? value : "(none)";
}

sfsistat reply(SMFICTX* ctx, const char* code, const char* status, const std::string& text,
               sfsistat result) {
    smfi_setreply(ctx, const_cast<char*>(code), const_cast<char*>(status),
                  const_cast<char*>(text.c_str()));
    return result;
}

sfsistat fx_connect(SMFICTX* ctx, char* host, _SOCK_ADDR* address) {
    smfi_setpriv(ctx, new conn_state);
    const std::string_view name(host);
    if (name == "accept.example") {
        return SMFIS_ACCEPT;
    }
    if (name == "reject.example") {
        return SMFIS_REJECT;
    }
    if (name == "tempfail.example") {
        return SMFIS_TEMPFAIL;
    }
    if (name != "echo.example") {
        return SMFIS_CONTINUE;
    }
    std::string family = "none";
    std::string text;
    unsigned port = 0;
    char buffer[INET6_ADDRSTRLEN] = "";
    if (address != nullptr && address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        family = "inet";
        port = ntohs(in->sin_port);
        inet_ntop(AF_INET, &in->sin_addr, buffer, sizeof buffer);
        text = buffer;
    } else if (address != nullptr && address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        family = "inet6";
        port = ntohs(in6->sin6_port);
        inet_ntop(AF_INET6, &in6->sin6_addr, buffer, sizeof buffer);
        text = buffer;
    } else if (address != nullptr && address->sa_family == AF_UNIX) {
        family = "unix";
        text = reinterpret_cast<const sockaddr_un*>(address)->sun_path;
    }
    return reply(ctx, "550", "5.7.1",
                 "connect family=" + family + " port=" + std::to_string(port) + " addr=" + text +
                     " daemon=" + macro(ctx, "{daemon_name}") + " j=" + macro(ctx, "j"),
                 SMFIS_REJECT);
}

sfsistat fx_envfrom(SMFICTX* ctx, char** argv) {
    const std::string_view sender(argv[0]);
    if (sender == "<reject@fixture.test>") {
        return SMFIS_REJECT;
    }
    if (sender == "<echo@fixture.test>") {
        std::string args;
        for (char** arg = argv; *arg != nullptr; ++arg) {
            args += (arg == argv ? "" : ",") + std::string(*arg);
        }
        return reply(ctx, "550", "5.7.1",
                     "mail args=" + args + " mail_addr=" + macro(ctx, "{mail_addr}"), SMFIS_REJECT);
    }
    return SMFIS_CONTINUE;
}

sfsistat fx_envrcpt(SMFICTX* ctx, char** argv) {
    std::string_view local(argv[0]);
    if (!local.empty() && local.front() == '<') {
        local.remove_prefix(1);
    }
    if (local.starts_with("unknown")) {
        return reply(ctx, "550", "5.1.1", " User unknown", SMFIS_REJECT);
    }
    if (local.starts_with("temp")) {
        return reply(ctx, "451", "4.7.0", "Internal error", SMFIS_TEMPFAIL);
    }
    if (local.starts_with("defer")) {
        return SMFIS_TEMPFAIL;
    }
    if (local.starts_with("accept")) {
        return SMFIS_ACCEPT;
    }
    if (local.starts_with("discard")) {
        return SMFIS_DISCARD;
    }
    if (local.starts_with("slow")) {
        smfi_progress(ctx);
        smfi_progress(ctx);
        return SMFIS_CONTINUE;
    }
    if (local.starts_with("echo")) {
        return reply(ctx, "550", "5.7.1",
                     "rcpt arg=" + std::string(argv[0]) + " rcpt_addr=" + macro(ctx, "{rcpt_addr}"),
                     SMFIS_REJECT);
    }
    return SMFIS_CONTINUE;
}

sfsistat fx_header(SMFICTX* ctx, char* name, char* value) {
    if (std::strcmp(name, "X-Reject") == 0) {
        return SMFIS_REJECT;
    }
    if (std::strcmp(name, "X-Echo") == 0) {
        return reply(ctx, "550", "5.7.1",
                     "header name=" + std::string(name) + " value=[" + value + "]", SMFIS_REJECT);
    }
    return SMFIS_CONTINUE;
}

sfsistat fx_body(SMFICTX* ctx, unsigned char* /*chunk*/, size_t length) {
    if (conn_state* s = state(ctx)) {
        s->body_bytes += length;
    }
    return SMFIS_CONTINUE;
}

sfsistat fx_eom(SMFICTX* ctx) {
    conn_state* s = state(ctx);
    const std::string count = std::to_string(s != nullptr ? s->body_bytes : 0);
    smfi_addheader(ctx, const_cast<char*>("X-Fixture-Body"), const_cast<char*>(count.c_str()));
    if (s != nullptr) {
        s->body_bytes = 0;
    }
    return SMFIS_CONTINUE;
}

sfsistat fx_abort(SMFICTX* ctx) {
    if (conn_state* s = state(ctx)) {
        s->body_bytes = 0;
    }
    return SMFIS_CONTINUE;
}

sfsistat fx_close(SMFICTX* ctx) {
    delete state(ctx);
    smfi_setpriv(ctx, nullptr);
    return SMFIS_CONTINUE;
}

// Asks for no replies to headers; also turns off the stages without callbacks.
sfsistat fx_negotiate(SMFICTX* /*ctx*/, unsigned long /*f0*/, unsigned long f1,
                      unsigned long /*f2*/, unsigned long /*f3*/, unsigned long* pf0,
                      unsigned long* pf1, unsigned long* pf2, unsigned long* pf3) {
    *pf0 = SMFIF_ADDHDRS;
    *pf1 = f1 & (SMFIP_NR_HDR | SMFIP_NOHELO | SMFIP_NOEOH | SMFIP_NODATA | SMFIP_NOUNKNOWN);
    *pf2 = 0;
    *pf3 = 0;
    return SMFIS_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    const char* socket = nullptr;
    bool no_reply_headers = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--socket" && i + 1 < argc) {
            socket = argv[++i];
        } else if (arg == "--no-reply-headers") {
            no_reply_headers = true;
        } else {
            socket = nullptr;
            break;
        }
    }
    if (socket == nullptr) {
        std::fputs("usage: kv-fixture-milter --socket SPEC [--no-reply-headers]\n", stderr);
        return 2;
    }
    smfiDesc desc{};
    desc.xxfi_name = const_cast<char*>("kv-e2e-fixture");
    desc.xxfi_version = SMFI_VERSION;
    desc.xxfi_flags = SMFIF_ADDHDRS;
    desc.xxfi_connect = fx_connect;
    desc.xxfi_envfrom = fx_envfrom;
    desc.xxfi_envrcpt = fx_envrcpt;
    desc.xxfi_header = fx_header;
    desc.xxfi_body = fx_body;
    desc.xxfi_eom = fx_eom;
    desc.xxfi_abort = fx_abort;
    desc.xxfi_close = fx_close;
    desc.xxfi_negotiate = no_reply_headers ? fx_negotiate : nullptr;
    if (smfi_setconn(const_cast<char*>(socket)) == MI_FAILURE ||
        smfi_register(desc) == MI_FAILURE || smfi_opensocket(true) == MI_FAILURE) {
        std::fprintf(stderr, "cannot listen on %s\n", socket);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return smfi_main() == MI_SUCCESS ? 0 : 1;
}
