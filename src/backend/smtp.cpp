// SMTP commands on an open backend connection: one command line out, its
// reply read into the same block, the first three bytes compared with the
// code expected.  Also the polite end (RSET, QUIT, shutdown, close) and the
// silent close of a backend conversation.
#include "backend/smtp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "backend/socket_io.h"
#include "common/log.h"

namespace kelvantor {

int smtp_command(int fd, const char* verb, const char* argument, const char* expected) {
    reply_buffer block(reply_block_size);
    if (!block.valid()) return SMTP_FAILED;

    if (argument == nullptr) argument = "";
    // Only a verb of four characters is parted from its argument by a blank:
    // "MAIL FROM" is followed directly by ":<...>".
    const char* format = std::strlen(verb) == 4 && argument[0] != '\0' ? "%s %s\r\n" : "%s%s\r\n";
    const int formatted = std::snprintf(block.data(), block.size(), format, verb, argument);
    if (formatted < 0) return SMTP_FAILED;
    const int length = std::min(formatted, static_cast<int>(block.size()) - 1);  // cut, not spilled

    if (write_all(fd, block.data(), length) < 0) {
        log_msg(LOG_ERR, "cannot send %s", verb);
        return SMTP_FAILED;
    }

    const int count = read_reply(fd, block, command_reply_wait);
    if (count == REPLY_TOO_LONG) {
        log_msg(LOG_ERR, "cannot read %s reply", verb);
        return SMTP_TOO_LONG;
    }
    if (count <= 4) {
        log_msg(LOG_ERR, "cannot read %s reply", verb);
        return SMTP_NO_REPLY;
    }

    const char* reply = block.data();
    if (std::strncmp(reply, expected, 3) == 0) return SMTP_OK;
    if (reply[0] == '5' && reply[1] == '5') {
        log_msg(LOG_ERR, "backend did not accept %s", verb);
    } else {
        log_msg(LOG_ERR, "unexpected SMTP reply code on %s", verb);
    }
    return SMTP_FAILED;
}

void smtp_quit(int& slot) {
    // Both results are ignored: QUIT goes out even when RSET failed.
    smtp_command(slot, "RSET", "", "250");
    smtp_command(slot, "QUIT", "", "221");
    ::shutdown(slot, SHUT_RDWR);
    if (slot >= 0 && ::close(slot) != 0) {
        log_msg(LOG_ERR, "socket close error %s", std::strerror(errno));
    }
    slot = NO_BACKEND;
}

void close_backend_socket(int& slot, const char* close_error_format) {
    if (slot >= 0 && ::close(slot) != 0) {
        log_msg(LOG_ERR, close_error_format, std::strerror(errno));
    }
    slot = NO_BACKEND;
}

}  // namespace kelvantor
