// A test double of the libmilter calls the callbacks make (smfi_getpriv,
// smfi_setpriv, smfi_getsymval, smfi_setreply).  Linked into the filter's
// unit tests instead of libmilter; a fake_milter_ctx stands for one client
// connection's SMFICTX handle.
#pragma once

#include <libmilter/mfapi.h>

#include <map>
#include <optional>
#include <string>

struct smfi_str {
    void* priv = nullptr;
    std::map<std::string, std::string> macros;  // "{rcpt_addr}" -> value
    bool refuse_setpriv = false;
    int setpriv_calls = 0;
    struct reply_text {
        std::string code, status, text;
    };
    std::optional<reply_text> reply;  // the last reply set
    int setreply_calls = 0;
};

namespace kelvantor::testing {

using fake_milter_ctx = smfi_str;

inline SMFICTX* handle(fake_milter_ctx& ctx) {
    return &ctx;
}

}  // namespace kelvantor::testing
