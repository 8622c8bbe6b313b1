// kv-null-filter: the practical limit for any milter.  It registers with the
// same libmilter the same callbacks as kelvantor (connect, envfrom, envrcpt,
// header, data, abort, close; flag SMFIF_ADDHDRS), each of which only answers
// continue.  Usage: kv-null-filter -p SOCKET [-T TIMEOUT]; stops on SIGTERM.
#include <libmilter/mfapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

sfsistat on_connect(SMFICTX*, char*, _SOCK_ADDR*) {
    return SMFIS_CONTINUE;
}
sfsistat on_envfrom(SMFICTX*, char**) {
    return SMFIS_CONTINUE;
}
sfsistat on_envrcpt(SMFICTX*, char**) {
    return SMFIS_CONTINUE;
}
sfsistat on_header(SMFICTX*, char*, char*) {
    return SMFIS_CONTINUE;
}
sfsistat on_data(SMFICTX*) {
    return SMFIS_CONTINUE;
}
sfsistat on_abort(SMFICTX*) {
    return SMFIS_CONTINUE;
}
sfsistat on_close(SMFICTX*) {
    return SMFIS_CONTINUE;
}

struct smfiDesc null_desc = {
    const_cast<char*>("kv-null-filter"),  // xxfi_name
    SMFI_VERSION,                         // xxfi_version
    SMFIF_ADDHDRS,                        // xxfi_flags
    on_connect,                           // xxfi_connect
    nullptr,                              // xxfi_helo
    on_envfrom,                           // xxfi_envfrom
    on_envrcpt,                           // xxfi_envrcpt
    on_header,                            // xxfi_header
    nullptr,                              // xxfi_eoh
    nullptr,                              // xxfi_body
    nullptr,                              // xxfi_eom
    on_abort,                             // xxfi_abort
    on_close,                             // xxfi_close
    nullptr,                              // xxfi_unknown
    on_data,                              // xxfi_data
    nullptr,                              // xxfi_negotiate
};

}  // namespace

int main(int argc, char** argv) {
    const char* socket = nullptr;
    int option;
    while ((option = getopt(argc, argv, "p:T:")) != -1) {
        if (option == 'p') {
            socket = optarg;
        } else if (option == 'T') {
            if (smfi_settimeout(static_cast<int>(std::strtol(optarg, nullptr, 10))) == MI_FAILURE) {
                return 70;
            }
        } else {
            std::fputs("usage: kv-null-filter -p SOCKET [-T TIMEOUT]\n", stderr);
            return 64;
        }
    }
    if (socket == nullptr) {
        std::fputs("usage: kv-null-filter -p SOCKET [-T TIMEOUT]\n", stderr);
        return 64;
    }
    for (const char* prefix : {"unix:", "local:"}) {
        if (std::strncmp(socket, prefix, std::strlen(prefix)) == 0)
            unlink(socket + std::strlen(prefix));
    }
    if (smfi_setconn(const_cast<char*>(socket)) == MI_FAILURE) return 70;
    if (smfi_register(null_desc) == MI_FAILURE) return 69;
    umask(0117);  // as kelvantor with -g: the MTA's group may use a unix socket
    return smfi_main();
}
