// Logging for the whole program.  Every message goes through log_msg(), which
// formats it and hands it to the current sink: syslog in the running daemon,
// a capturing sink in tests.  Remote text is never passed here unmasked; use
// printable_excerpt() for anything a peer sent.
#pragma once

#include <syslog.h>

#include <string>
#include <string_view>

namespace kelvantor {

// Receives one formatted message at a syslog priority (LOG_ERR, LOG_INFO, ...).
using log_sink = void (*)(int priority, const char* message);

// Formats the message with printf rules and passes it to the sink.
void log_msg(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Replaces the sink; nullptr restores syslog.  Set it before threads start.
void set_log_sink(log_sink sink);

// While on, messages at LOG_WARNING and above also go to standard error as
// "kelvantor: TEXT" (start-up, where a terminal or a journal sees them).
void set_log_echo(bool on);

// closelog(), then openlog("kelvantor", LOG_PID | LOG_NDELAY, LOG_MAIL).
void open_syslog();

// At most max_length bytes of text, with every byte outside printable ASCII
// replaced by '?', for logging what a peer sent.
std::string printable_excerpt(std::string_view text, std::size_t max_length = 64);

}  // namespace kelvantor
