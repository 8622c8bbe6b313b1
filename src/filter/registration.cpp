// The registration record handed to smfi_register.  Only the callbacks the
// filter needs are set; libmilter turns the other stages off.  The DATA
// callback does nothing but answer: without it Postfix gets no reply to its
// DATA-stage macros and waits for a delayed ACK on TCP milter sockets.
// Headers are not asked for: libmilter takes a message that has none as out
// of order when the header stage is on and end of headers is off, and drops
// its end of message unanswered.  End of headers comes with every message.
#include "filter/filter.h"

namespace kelvantor {

struct smfiDesc filter_desc = {
    const_cast<char*>("kelvantor"),  // xxfi_name
    SMFI_VERSION,                    // xxfi_version
    SMFIF_ADDHDRS,                   // xxfi_flags
    cb_connect,                      // xxfi_connect
    nullptr,                         // xxfi_helo
    cb_envfrom,                      // xxfi_envfrom
    cb_envrcpt,                      // xxfi_envrcpt
    nullptr,                         // xxfi_header
    cb_eoh,                          // xxfi_eoh
    nullptr,                         // xxfi_body
    nullptr,                         // xxfi_eom
    cb_abort,                        // xxfi_abort
    cb_close,                        // xxfi_close
    nullptr,                         // xxfi_unknown
    cb_data,                         // xxfi_data
    nullptr,                         // xxfi_negotiate
};

// The fast path asks the MTA to skip every stage without a callback or whose
// callback always continues: HELO, MAIL, headers, end of headers (DATA ends
// the conversations instead, where the MTA knows the DATA stage), body and
// unknown commands; each only where the MTA offers to skip it.  What an MTA
// cannot skip it still sends, and gets an immediate answer.
sfsistat cb_negotiate(SMFICTX* /*ctx*/, unsigned long offered_actions,
                      unsigned long offered_protocol, unsigned long /*f2*/, unsigned long /*f3*/,
                      unsigned long* actions, unsigned long* protocol, unsigned long* /*pf2*/,
                      unsigned long* /*pf3*/) noexcept {
    unsigned long skip =
        SMFIP_NOHELO | SMFIP_NOMAIL | SMFIP_NOHDRS | SMFIP_NOBODY | SMFIP_NOUNKNOWN;
    if ((offered_protocol & SMFIP_NODATA) != 0) skip |= SMFIP_NOEOH;  // DATA comes
    *actions = SMFIF_ADDHDRS & offered_actions;
    *protocol = skip & offered_protocol;
    return SMFIS_CONTINUE;
}

void filter_use_fast_path(bool on) noexcept {
    filter_desc.xxfi_negotiate = on ? cb_negotiate : nullptr;
}

}  // namespace kelvantor
