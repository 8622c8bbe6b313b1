// SMTP commands on an open backend connection, and the end of a backend
// conversation.  The descriptor slot is the connection context's backend_fd.
#pragma once

#include <chrono>

namespace kelvantor {

// Results of smtp_command.
inline constexpr int SMTP_OK = 0;        // reply carried the expected code
inline constexpr int SMTP_FAILED = 1;    // not sent, or another code
inline constexpr int SMTP_NO_REPLY = 2;  // 4 bytes or fewer, or the read failed
inline constexpr int SMTP_TOO_LONG = 3;  // reply over the cap: connection unusable

// The fixed first wait for a command's reply.
inline constexpr std::chrono::seconds command_reply_wait{2000};

// Sends "VERB ARG\r\n" (verb of 4 characters and a non-empty argument) or
// "VERBARG\r\n", reads the reply and compares its first three bytes with expected.
int smtp_command(int fd, const char* verb, const char* argument, const char* expected);

// Polite end: RSET, QUIT (results ignored), shutdown, close; slot := NO_BACKEND.
// Logs "socket close error %s" when close fails.
void smtp_quit(int& slot);

// Silent close of a descriptor of 0 or more, logging close_error_format
// (with strerror) when close fails; slot := NO_BACKEND in every case.
void close_backend_socket(int& slot, const char* close_error_format);

}  // namespace kelvantor
