// SMTP commands on an open backend connection: one command line out, its
// reply read into the same block and judged by its code.
#pragma once

#include <chrono>

namespace kelvantor {

enum class command_result {
    ok,           // the reply carried the expected code
    refused,      // the line was not sent, or the reply carried another code (logged)
    short_reply,  // a whole reply of 4 bytes or fewer: unusable, but in step (logged)
    no_reply,     // no whole reply within the wait: the conversation cannot go on (logged)
    broken,       // a reply too long, or followed by bytes nobody asked for: the
                  // conversation is out of step and cannot go on (logged)
};

// The fixed wait for a command's reply.
inline constexpr std::chrono::seconds command_reply_wait{2000};

// Sends "VERB ARG\r\n" (verb of 4 characters and a non-empty argument) or
// "VERBARG\r\n", reads the reply and compares its first three bytes with the
// three characters of expected.
command_result smtp_command(int fd, const char* verb, const char* argument, const char* expected,
                            std::chrono::milliseconds wait = command_reply_wait);

}  // namespace kelvantor
