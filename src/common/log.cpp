// Formats log messages and routes them to syslog or to a replaceable sink.
#include "common/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kelvantor {
namespace {

void syslog_sink(int priority, const char* message) {
    syslog(priority, "%s", message);
}

log_sink current_sink = syslog_sink;
std::atomic<bool> echo_to_stderr{false};

}  // namespace

// A printf-style interface, checked by the compiler through the format attribute.
void log_msg(int priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    current_sink(priority, text);
    if (priority <= LOG_WARNING && echo_to_stderr.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "kelvantor: %s\n", text);
    }
}

void set_log_echo(bool on) {
    echo_to_stderr.store(on, std::memory_order_relaxed);
}

void set_log_sink(log_sink sink) {
    current_sink = sink != nullptr ? sink : syslog_sink;
}

void open_syslog() {
    closelog();
    openlog("kelvantor", LOG_PID | LOG_NDELAY, LOG_MAIL);
}

std::string printable_excerpt(std::string_view text, std::size_t max_length) {
    std::string out;
    for (char c : text.substr(0, max_length)) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(byte >= 0x20 && byte < 0x7f ? c : '?');
    }
    return out;
}

}  // namespace kelvantor
