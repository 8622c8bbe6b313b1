// fuzz_config: the configuration reader on whole file text (parse_config_text).
// Fatal lines end the process with status 71 through std::exit; here the
// reader's exit handler throws instead, the throw unwinds the reader (its
// FILE is closed by its owner) and is caught below, so one fatal line does
// not end the run.  Server names are resolved by getaddrinfo: inputs with a
// server line that is not a numeric address are skipped, so DNS is never asked.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/exit_status.h"
#include "common/log.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "routing/routes.h"
#include "startup/config.h"

namespace {

using namespace kelvantor;

struct configuration_exit {
    int status;
};

void throw_exit(int status) {
    throw configuration_exit{status};
}

void no_log(int, const char*) {}

bool is_host_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':';
}

bool numeric_address(const char* text) {
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(AF_INET, text, bytes) == 1 || inet_pton(AF_INET6, text, bytes) == 1;
}

// Whether some line, cut as the reader's fgets into 1024 bytes cuts it,
// names a server (or a fallback) that getaddrinfo would look up by name.
bool names_a_host(std::string_view text) {
    constexpr std::size_t piece_size = 1023;
    while (!text.empty()) {
        std::size_t length = std::min(text.size(), piece_size);
        if (const auto newline = text.substr(0, length).find('\n');
            newline != std::string_view::npos) {
            length = newline + 1;
        }
        const std::string_view piece = text.substr(0, length);
        text.remove_prefix(length);
        std::size_t start = 0;
        for (const std::string_view keyword : {"BackSMTPServer:", "BackSMTPFallback:"}) {
            if (piece.substr(0, keyword.size()) == keyword) start = keyword.size();
        }
        if (start == 0) continue;
        char name[256] = {};
        std::size_t n = 0;
        for (std::size_t i = start; i < piece.size() && n < 255 && is_host_char(piece[i]); ++i) {
            name[n++] = piece[i];
        }
        if (n >= 7 && !numeric_address(name)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_sink(no_log);
    set_config_exit_handler(throw_exit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (names_a_host(text)) return -1;  // not added to the corpus

    settings = settings_record{};
    route_list_clear();
    exemption_lists_clear();
    try {
        if (parse_config_text(text) != 0) std::abort();  // only lack of memory gives 1
    } catch (const configuration_exit& exit) {
        if (exit.status != exit_status::configuration) std::abort();
    }
    // What was read stays within its documented ranges.
    if (settings.smtp_port < 1 || settings.smtp_port > 65535 || settings.valid_ttl < 1 ||
        settings.invalid_ttl < 1 || settings.reply_timeout < 1 ||
        settings.connect_timeout_ms < 1000) {
        std::abort();
    }
    return 0;
}
