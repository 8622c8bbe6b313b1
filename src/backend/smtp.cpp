// SMTP commands on an open backend connection: one command line out, its
// reply read into the same block, the first three bytes compared with the
// code expected.  Replies are matched to commands by order; a reply that is
// not whole, or is followed by bytes nobody asked for, ends that order.
#include "backend/smtp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "backend/reply.h"
#include "backend/socket_io.h"
#include "common/log.h"

namespace kelvantor {

command_result smtp_command(int fd, const char* verb, const char* argument, const char* expected,
                            std::chrono::milliseconds wait) {
    reply_buffer block(reply_block_size);
    if (!block.valid()) return command_result::refused;

    if (argument == nullptr) argument = "";
    // Only a verb of four characters is parted from its argument by a blank:
    // "MAIL FROM" is followed directly by ":<...>".
    const bool parted = std::strlen(verb) == 4 && argument[0] != '\0';
    const int formatted =
        parted ? std::snprintf(block.data(), block.size(), "%s %s\r\n", verb, argument)
               : std::snprintf(block.data(), block.size(), "%s%s\r\n", verb, argument);
    if (formatted < 0) return command_result::refused;
    const int length = std::min(formatted, static_cast<int>(block.size()) - 1);  // cut, not spilled

    if (write_all(fd, block.data(), length) < 0) {
        log_msg(LOG_ERR, "cannot send %s", verb);
        return command_result::refused;
    }

    const reply_read read = read_reply(fd, block, wait);
    const std::string_view reply(block.data(), read.length);
    if (read.status != reply_status::complete || classify_reply(reply) == reply_kind::unusable) {
        log_msg(LOG_ERR, "cannot read %s reply", verb);
        switch (read.status) {
            case reply_status::complete:
                return command_result::short_reply;
            case reply_status::too_long:
            case reply_status::overrun:
                return command_result::broken;
            default:
                return command_result::no_reply;
        }
    }
    if (reply.substr(0, 3) == std::string_view(expected, 3)) return command_result::ok;
    if (reply[0] == '5' && reply[1] == '5') {
        log_msg(LOG_ERR, "backend did not accept %s", verb);
    } else {
        log_msg(LOG_ERR, "unexpected SMTP reply code on %s", verb);
    }
    return command_result::refused;
}

}  // namespace kelvantor
