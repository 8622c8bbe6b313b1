// The smfi_* test double: stores what the callbacks set on the fake handle.
#include "fakes/fake_smfi.h"

extern "C" {

int smfi_setpriv(SMFICTX* ctx, void* data) {
    ++ctx->setpriv_calls;
    if (ctx->refuse_setpriv) return MI_FAILURE;
    ctx->priv = data;
    return MI_SUCCESS;
}

void* smfi_getpriv(SMFICTX* ctx) {
    return ctx->priv;
}

char* smfi_getsymval(SMFICTX* ctx, char* name) {
    const auto found = ctx->macros.find(name);
    return found == ctx->macros.end() ? nullptr : found->second.data();
}

int smfi_setreply(SMFICTX* ctx, char* code, char* status, char* text) {
    ++ctx->setreply_calls;
    ctx->reply = smfi_str::reply_text{code, status, text};
    return MI_SUCCESS;
}

}  // extern "C"
