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

}  // namespace kelvantor
