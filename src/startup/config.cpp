// The configuration reader: reads the configuration file line by line, tries
// the keyword rows in their fixed order against each line and fills a
// configuration (settings, domain routes, exemption lists) that is installed
// once read.  Backend server names are resolved here.  What a line holds that
// is not used (an unknown keyword, a value that is too short, text after the
// value) is noted: at debug level when starting, on standard error as
// FILE:LINE: message when checking; a check also goes on past the errors
// that would end start-up.
#include "startup/config.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/exit_status.h"
#include "common/log.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "routing/routes.h"

namespace kelvantor {
namespace {

constexpr std::size_t line_buffer_size = 1024;
constexpr std::size_t shortest_line = 17;  // counting the newline
constexpr std::size_t longest_value = 256;
constexpr int highest_port = 65535;
constexpr std::uint64_t highest_octet = 255;
constexpr std::uint64_t longest_prefix = 32;

// What reading one line came to.  "done" covers lines that matched a row
// and were then skipped, e.g. for a value that is too short.
enum class outcome { no_match, done, out_of_memory };

// State of one reading: what it fills, where it stands in the file, the
// server for the domain lines that follow, and the IP version wanted for the
// server lines that follow.
struct reading_state {
    configuration& target;
    reading_mode mode;
    reading_report& report;
    const char* file_name;
    int line_number = 1;
    sockaddr_storage server_addr{};
    bool server_defined = false;
    bool server_unresolved = false;  // checking: the last server line was refused
    fallback_list fallbacks;         // of the current server; a server line empties it
    int preferred_version = 0;
    std::vector<std::pair<std::string, int>> domains;  // lower case, and the line that routed it
    int first_sentinel_line = 0;
};

// Thrown while checking where start-up would end: the line is left out and
// reading goes on.
struct line_refused {};

// The reading under way (one at a time, on one thread), for the notes of
// the helpers below that are not handed the state.
reading_state* current = nullptr;

// Something on the line is not used.
void line_note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void line_note(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (current == nullptr) return;
    ++current->report.notes;
    if (current->mode == reading_mode::check) {
        std::fprintf(stderr, "%s:%d: %s\n", current->file_name, current->line_number, text);
    } else {
        log_msg(LOG_DEBUG, "%s:%d: %s", current->file_name, current->line_number, text);
    }
}

// A value taken from a line, NUL-terminated.
struct value_text {
    char text[longest_value + 1];
    std::size_t length = 0;
};

config_exit_handler exit_handler = nullptr;

// Ends start-up with the configuration error status; a check or a reload
// goes on.
[[noreturn]] void configuration_error() {
    if (current != nullptr && current->mode != reading_mode::start_up) throw line_refused{};
    if (exit_handler != nullptr) exit_handler(exit_status::configuration);
    std::exit(exit_status::configuration);
}

// The error that ends start-up: logged as it is, or printed with its place
// by a check.
[[noreturn]] void line_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void line_error(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (current == nullptr || current->mode == reading_mode::start_up) {
        log_msg(LOG_ERR, "%s", text);
    } else if (++current->report.errors; current->mode == reading_mode::check) {
        std::fprintf(stderr, "%s:%d: %s\n", current->file_name, current->line_number, text);
    } else {
        log_msg(LOG_ERR, "%s:%d: %s", current->file_name, current->line_number, text);
    }
    configuration_error();
}

// What is left of a line after its value, without the line end and blanks.
std::string_view rest_of_line(const char* text) {
    std::string_view rest(text);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r' || rest.back() == ' ' ||
                             rest.back() == '\t')) {
        rest.remove_suffix(1);
    }
    return rest;
}

void note_trailing(std::string_view keyword, const char* after_value) {
    const std::string_view rest = rest_of_line(after_value);
    if (rest.empty()) return;
    const std::string shown = printable_excerpt(rest);
    line_note("%.*s: text after the value ignored: \"%s\"", static_cast<int>(keyword.size()),
              keyword.data(), shown.c_str());
}

using char_class = bool (*)(char);

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_name_char(char c) {
    return is_letter(c) || is_digit(c) || c == '-' || c == '.';
}
bool is_host_char(char c) {
    return is_name_char(c) || c == ':';
}
bool is_not_newline(char c) {
    return c != '\n';
}
// The blanks that a number may be preceded by (isspace of the C locale).
bool is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The text after "keyword:" when the line starts with exactly that, else nullptr.
const char* after_keyword(const char* line, std::string_view keyword) {
    if (std::strncmp(line, keyword.data(), keyword.size()) != 0 || line[keyword.size()] != ':') {
        return nullptr;
    }
    return line + keyword.size() + 1;
}

// "keyword:%N[set]": 1 to width characters of the class right after the colon.
bool take_value(const char* line, std::string_view keyword, std::size_t width, char_class in_set,
                value_text& value) {
    const char* text = after_keyword(line, keyword);
    if (text == nullptr) return false;
    std::size_t length = 0;
    while (length < width && text[length] != '\0' && in_set(text[length])) ++length;
    if (length == 0) return false;
    std::memcpy(value.text, text, length);
    value.text[length] = '\0';
    value.length = length;
    note_trailing(keyword, text + length);
    return true;
}

// "keyword:%N[0-9]" converted as decimal; N is at most 7, so it fits.
bool take_number(const char* line, std::string_view keyword, std::size_t width, int& number) {
    value_text digits;
    if (!take_value(line, keyword, width, is_digit, digits)) return false;
    number = std::atoi(digits.text);  // NOLINT(cert-err34-c): digits only, at most 7
    return true;
}

// "%u": blanks, then decimal digits.  Saturates far above any value accepted.
bool scan_unsigned(const char*& text, std::uint64_t& number) {
    constexpr std::uint64_t saturation = 1'000'000'000'000;
    while (is_blank(*text)) ++text;
    if (!is_digit(*text)) return false;
    number = 0;
    for (; is_digit(*text); ++text) {
        number =
            std::min<std::uint64_t>(number * 10 + static_cast<unsigned>(*text - '0'), saturation);
    }
    return true;
}

// Numbers of "%u.%u.%u.%u/%u" read before the first mismatch.
int scan_network(const char* text, std::uint64_t (&numbers)[5]) {
    static constexpr char separators[] = {'.', '.', '.', '/'};
    for (int i = 0; i < 5; ++i) {
        if (i > 0 && *text++ != separators[i - 1]) return i;
        if (!scan_unsigned(text, numbers[i])) return i;
    }
    return 5;
}

// Field: std::int32_t, or a relaxed one that a reload changes.
template <class Field>
outcome time_setting(const char* line, std::string_view keyword, std::size_t width, Field& field) {
    int number = 0;
    if (!take_number(line, keyword, width, number)) return outcome::no_match;
    if (number >= 1) {
        field = number;
    } else {
        line_note("%.*s: 0 ignored", static_cast<int>(keyword.size()), keyword.data());
    }
    log_msg(LOG_DEBUG, "%.*s set to %d seconds", static_cast<int>(keyword.size()), keyword.data(),
            static_cast<std::int32_t>(field));
    return outcome::done;
}

outcome valid_addr_exp(const char* line, reading_state& state) {
    return time_setting(line, "BackValidAddrExp", 7, state.target.settings.valid_ttl);
}

outcome invalid_addr_exp(const char* line, reading_state& state) {
    return time_setting(line, "BackInvalidAddrExp", 7, state.target.settings.invalid_ttl);
}

// The host of a server line ("KEYWORD:HOST", 7 to 255 characters); false when
// the line is another keyword's (result no_match) or the value is too short
// (noted; result done).
bool server_name(const char* line, std::string_view keyword, value_text& name, outcome& result) {
    result = outcome::no_match;
    if (!take_value(line, keyword, 255, is_host_char, name)) return false;
    result = outcome::done;
    if (name.length < 7) {
        line_note(
            "%.*s: a value shorter than 7 characters is ignored "
            "(write the IPv6 loopback as 0:0:0:0:0:0:0:1)",
            static_cast<int>(keyword.size()), keyword.data());
        return false;
    }
    return true;
}

outcome smtp_server(const char* line, reading_state& state) {
    value_text name;
    if (outcome result{}; !server_name(line, "BackSMTPServer", name, result)) return result;
    if (const int error = resolve_server(name.text, state.server_addr, state.preferred_version);
        error != 0) {
        state.server_unresolved = true;
        line_error("BackSMTPServer incorrect %s %s", name.text, gai_strerror(error));
    }
    state.server_defined = true;
    state.server_unresolved = false;
    state.fallbacks.count = 0;
    log_msg(LOG_DEBUG, "BackSMTPServer %s", name.text);
    return outcome::done;
}

// Adds a server to the current server's list, with the port and IP version
// in force here, for the domain lines that follow.
outcome smtp_fallback(const char* line, reading_state& state) {
    value_text name;
    if (outcome result{}; !server_name(line, "BackSMTPFallback", name, result)) return result;
    if (!state.server_defined) {
        line_error("BackSMTPServer should be defined before BackSMTPFallback");
    }
    if (state.fallbacks.count == max_fallbacks) {
        line_error("BackSMTPFallback: at most %zu per BackSMTPServer", max_fallbacks);
    }
    fallback_server& added = state.fallbacks.servers.at(state.fallbacks.count);
    if (const int error = resolve_server(name.text, added.server_addr, state.preferred_version);
        error != 0) {
        line_error("BackSMTPFallback incorrect %s %s", name.text, gai_strerror(error));
    }
    // smtp_port() has refused ports above 65535, so the port fits 16 bits.
    added.port = static_cast<std::uint16_t>(state.target.settings.smtp_port);
    ++state.fallbacks.count;
    log_msg(LOG_DEBUG, "BackSMTPFallback %s", name.text);
    return outcome::done;
}

outcome addr_domain(const char* line, reading_state& state) {
    value_text domain;
    if (!take_value(line, "BackAddrDomain", 256, is_name_char, domain)) return outcome::no_match;
    if (domain.length < 4) {
        line_note("BackAddrDomain: a value shorter than 4 characters is ignored");
        return outcome::done;
    }
    if (state.server_unresolved) return outcome::done;  // checking: already reported
    if (!state.server_defined) line_error("BackSMTPServer should be defined before BackAddrDomain");
    // smtp_port() has refused ports above 65535, so the port fits 16 bits.
    if (!state.target.routes.add({domain.text, domain.length},
                                 static_cast<std::uint16_t>(state.target.settings.smtp_port),
                                 state.server_addr, state.fallbacks)) {
        return outcome::out_of_memory;
    }
    std::string lower(domain.text, domain.length);
    for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    const auto earlier = std::find_if(state.domains.begin(), state.domains.end(),
                                      [&](const auto& seen) { return seen.first == lower; });
    if (earlier != state.domains.end()) {
        line_note("BackAddrDomain %s routed again: this line replaces line %d", domain.text,
                  earlier->second);
        earlier->second = state.line_number;
    } else {
        state.domains.emplace_back(std::move(lower), state.line_number);
    }
    log_msg(LOG_DEBUG, "BackAddrDomain %s", domain.text);
    return outcome::done;
}

outcome smtp_port(const char* line, reading_state& state) {
    int port = 0;
    if (!take_number(line, "BackSMTPPort", 5, port)) return outcome::no_match;
    if (port > highest_port) line_error("BackSMTPPort %d out of range", port);
    if (port >= 1) {
        state.target.settings.smtp_port = port;
    } else {
        line_note("BackSMTPPort: 0 ignored");
    }
    log_msg(LOG_DEBUG, "BackSMTPPort set to %d", state.target.settings.smtp_port);
    return outcome::done;
}

outcome prefer_ip_version(const char* line, reading_state& state) {
    if (!take_number(line, "PreferIPVersion", 1, state.preferred_version)) return outcome::no_match;
    if (state.preferred_version != 4 && state.preferred_version != 6) {
        line_note("PreferIPVersion: %d is neither 4 nor 6: either version is taken",
                  state.preferred_version);
    }
    log_msg(LOG_DEBUG, "PreferIPVersion set to %d", state.preferred_version);
    return outcome::done;
}

// "yes" in any case switches the flag on; nothing switches it off.
template <class Flag>
outcome yes_flag(const char* line, std::string_view keyword, Flag& flag) {
    value_text letters;
    if (!take_value(line, keyword, 3, is_letter, letters)) return outcome::no_match;
    if (strcasecmp(letters.text, "yes") != 0) {
        line_note(R"(%.*s: only "yes" switches it on; "%s" ignored)",
                  static_cast<int>(keyword.size()), keyword.data(), letters.text);
        return outcome::done;
    }
    flag = true;
    log_msg(LOG_DEBUG, "%.*s %s", static_cast<int>(keyword.size()), keyword.data(), letters.text);
    return outcome::done;
}

outcome addr_subdomains(const char* line, reading_state& state) {
    const outcome result = yes_flag(line, "BackAddrSubdomains", state.target.settings.subdomains);
    state.target.routes.match_subdomains(state.target.settings.subdomains);
    return result;
}

outcome log_verdicts(const char* line, reading_state& state) {
    return yes_flag(line, "LogVerdicts", state.target.settings.log_verdicts);
}

outcome catch_all_check(const char* line, reading_state& state) {
    return yes_flag(line, "BackCatchAllCheck", state.target.settings.catch_all_check);
}

outcome max_connections(const char* line, reading_state& state) {
    int count = 0;
    if (!take_number(line, "BackSMTPMaxConnections", 5, count)) return outcome::no_match;
    state.target.settings.backend_max_connections = count;
    log_msg(LOG_DEBUG, "BackSMTPMaxConnections set to %d", count);
    return outcome::done;
}

outcome milter_fast_path(const char* line, reading_state& state) {
    return yes_flag(line, "MilterFastPath", state.target.settings.milter_fast_path);
}

outcome error_tempfail(const char* line, reading_state& state) {
    return yes_flag(line, "BackErrorTempfail", state.target.settings.tempfail_on_error);
}

// The path keeps blanks and a carriage return: it runs up to the newline.
outcome back_list(const char* line, reading_state& state) {
    value_text path;
    if (!take_value(line, "BackList", 255, is_not_newline, path)) return outcome::no_match;
    if (path.length < 4) {
        line_note("BackList: a path shorter than 4 characters is ignored");
        return outcome::done;
    }
    try {
        state.target.settings.cache_path = std::string(path.text, path.length);
    } catch (const std::bad_alloc&) {
        state.target.settings.cache_path.reset();
    }
    log_msg(LOG_DEBUG, "BackList %s", path.text);
    return outcome::done;
}

outcome timeout_connect(const char* line, reading_state& state) {
    int seconds = 0;
    if (!take_number(line, "TimeoutSMTPConnect", 4, seconds)) return outcome::no_match;
    if (seconds >= 1) {
        log_msg(LOG_DEBUG, "TimeoutSMTPConnect set to %d seconds", seconds);
        state.target.settings.connect_timeout_ms = seconds * 1000;
    } else {
        line_note("TimeoutSMTPConnect: 0 ignored");
    }
    return outcome::done;
}

outcome timeout_reply(const char* line, reading_state& state) {
    return time_setting(line, "TimeoutSMTPReply", 5, state.target.settings.reply_timeout);
}

// "BackSkipVerify:%u.%u.%u.%u/%u", or without the prefix length "/%u".
// Numbers above 255 and prefix lengths above 32 are refused.
outcome skip_verify(const char* line, bool with_prefix, exemption_set& exemptions) {
    const char* text = after_keyword(line, "BackSkipVerify");
    if (text == nullptr) return outcome::no_match;
    std::uint64_t numbers[5] = {};
    const int count = scan_network(text, numbers);
    if (count < (with_prefix ? 5 : 4)) return outcome::no_match;
    const std::uint64_t prefix_len = with_prefix ? numbers[4] : longest_prefix;
    if (std::max({numbers[0], numbers[1], numbers[2], numbers[3]}) > highest_octet ||
        prefix_len > longest_prefix) {
        std::string_view rest(text);
        if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
        if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
        line_error("BackSkipVerify incorrect %.*s", static_cast<int>(rest.size()), rest.data());
    }
    char address[16];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", static_cast<unsigned>(numbers[0]),
                  static_cast<unsigned>(numbers[1]), static_cast<unsigned>(numbers[2]),
                  static_cast<unsigned>(numbers[3]));
    if (!exemptions.add_net(inet_addr(address), static_cast<std::uint16_t>(prefix_len))) {
        return outcome::out_of_memory;
    }
    if (with_prefix) {
        log_msg(LOG_DEBUG, "BackSkipVerify set %s/%d", address, static_cast<int>(prefix_len));
    } else {
        log_msg(LOG_DEBUG, "BackSkipVerify set %s", address);
    }
    return outcome::done;
}

outcome skip_verify_network(const char* line, reading_state& state) {
    return skip_verify(line, true, state.target.exemptions);
}

outcome skip_verify_host(const char* line, reading_state& state) {
    return skip_verify(line, false, state.target.exemptions);
}

outcome skip_daemon(const char* line, reading_state& state) {
    value_text name;
    if (!take_value(line, "BackSkipDaemon", 256, is_name_char, name)) return outcome::no_match;
    if (!state.target.exemptions.add_daemon({name.text, name.length})) {
        return outcome::out_of_memory;
    }
    log_msg(LOG_DEBUG, "BackSkipDaemon %s", name.text);
    return outcome::done;
}

// Accepted for old configuration files; nothing uses the value.
outcome smtp_backoff(const char* line, reading_state& /*state*/) {
    int seconds = 0;
    if (!take_number(line, "BackSMTPBackoff", 5, seconds)) return outcome::no_match;
    log_msg(LOG_DEBUG, "BackSMTPBackoff set to %d seconds", seconds);
    return outcome::done;
}

// "MetricsListen:ADDRESS:PORT", ADDRESS numeric IPv4 or "[IPv6]", PORT 1 to
// 65535, nothing after it but blanks.  Anything else ends start-up.
bool parse_listen_address(std::string_view text, sockaddr_storage& address) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size()) return false;
    std::string_view host = text.substr(0, colon);
    const std::string_view port_text = text.substr(colon + 1);
    if (port_text.size() > 5 || !std::all_of(port_text.begin(), port_text.end(), is_digit)) {
        return false;
    }
    int port = 0;
    for (const char c : port_text) port = port * 10 + (c - '0');
    if (port < 1 || port > highest_port) return false;
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    const std::string host_text(host);
    address = {};
    if (bracketed) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        if (inet_pton(AF_INET6, host_text.c_str(), &in6.sin6_addr) != 1) return false;
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
        return true;
    }
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    if (inet_pton(AF_INET, host_text.c_str(), &in.sin_addr) != 1) return false;
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<std::uint16_t>(port));
    return true;
}

outcome metrics_listen(const char* line, reading_state& state) {
    value_text value;
    if (!take_value(line, "MetricsListen", longest_value, is_not_newline, value)) {
        return outcome::no_match;
    }
    std::string_view text(value.text, value.length);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    sockaddr_storage address{};
    if (!parse_listen_address(text, address)) {
        line_error("MetricsListen incorrect %.*s", static_cast<int>(text.size()), text.data());
    }
    state.target.settings.metrics_listen = address;
    log_msg(LOG_DEBUG, "MetricsListen %.*s", static_cast<int>(text.size()), text.data());
    return outcome::done;
}

// ---- Operations: the cache bound, the control socket, periodic saves ----

// The text after the colon up to the line end, a carriage return before it dropped.
std::string_view line_value(const char* text) {
    std::string_view value(text);
    if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    return value;
}

// The value of a "keyword:value" line (see line_value), or none when the line
// is another keyword's.
std::optional<std::string_view> keyword_value(const char* line, std::string_view keyword) {
    const char* text = after_keyword(line, keyword);
    if (text == nullptr) return std::nullopt;
    return line_value(text);
}

[[noreturn]] void invalid_value(std::string_view keyword, std::string_view value) {
    const std::string shown = printable_excerpt(value);
    line_error("%.*s invalid value \"%s\"", static_cast<int>(keyword.size()), keyword.data(),
               shown.c_str());
}

// 1 to digits decimal digits and nothing else, else start-up ends.
std::uint64_t whole_number(std::string_view keyword, std::string_view value, std::size_t digits) {
    if (value.empty() || value.size() > digits ||
        !std::all_of(value.begin(), value.end(), is_digit)) {
        invalid_value(keyword, value);
    }
    std::uint64_t number = 0;
    for (const char c : value) number = number * 10 + static_cast<unsigned>(c - '0');
    return number;
}

outcome cache_max_entries(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "BackCacheMaxEntries";
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    const std::string_view value = *found;
    state.target.settings.cache_max_entries =
        static_cast<std::size_t>(whole_number(keyword, value, 10));
    log_msg(LOG_DEBUG, "BackCacheMaxEntries set to %zu", state.target.settings.cache_max_entries);
    return outcome::done;
}

outcome list_save_interval(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "BackListSaveInterval";
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    const std::string_view value = *found;
    state.target.settings.save_interval =
        static_cast<std::int32_t>(whole_number(keyword, value, 7));
    log_msg(LOG_DEBUG, "BackListSaveInterval set to %d seconds",
            state.target.settings.save_interval);
    return outcome::done;
}

// An absolute path that fits a unix socket address (107 bytes), blanks kept.
outcome control_socket(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "ControlSocket";
    constexpr std::size_t longest_socket_path = 107;
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    const std::string_view value = *found;
    if (value.size() < 2 || value.front() != '/' || value.size() > longest_socket_path ||
        value.find('\0') != std::string_view::npos) {
        invalid_value(keyword, value);
    }
    try {
        state.target.settings.control_socket = std::string(value);
    } catch (const std::bad_alloc&) {
        return outcome::out_of_memory;
    }
    log_msg(LOG_DEBUG, "ControlSocket %s", state.target.settings.control_socket->c_str());
    return outcome::done;
}

// ---- The shared verdict store ----

// "HOST:PORT" with HOST a name, a numeric IPv4 address or "[IPv6]".
std::pair<std::string, int> host_and_port(std::string_view keyword, std::string_view value) {
    const auto colon = value.rfind(':');
    if (colon == std::string_view::npos || colon == 0) invalid_value(keyword, value);
    std::string_view name = value.substr(0, colon);
    const std::uint64_t number = whole_number(keyword, value.substr(colon + 1), 5);
    if (number < 1 || number > highest_port) invalid_value(keyword, value);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    }
    const bool name_chars = std::all_of(name.begin(), name.end(), is_host_char);
    if (name.empty() || name.size() > 253 || !name_chars) invalid_value(keyword, value);
    return {std::string(name), static_cast<int>(number)};
}

// The store is named either directly or through Sentinels, never both.
void one_way_to_the_store(const reading_state& state) {
    if (state.target.settings.shared_cache_host &&
        !state.target.settings.shared_cache_sentinels.empty()) {
        line_error("SharedCacheServer and SharedCacheSentinel exclude each other: use one of them");
    }
}

// "unix:/absolute/path" (a unix socket address's 107 bytes at most), or
// "HOST:PORT".
outcome shared_cache_server(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "SharedCacheServer";
    constexpr std::size_t longest_socket_path = 107;
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    std::string_view value = *found;
    while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);
    std::pair<std::string, int> where;
    if (value.starts_with("unix:")) {
        const std::string_view path = value.substr(5);
        if (path.size() < 2 || path.front() != '/' || path.size() > longest_socket_path ||
            path.find('\0') != std::string_view::npos) {
            invalid_value(keyword, value);
        }
        where.first = path;
    } else {
        where = host_and_port(keyword, value);
    }
    state.target.settings.shared_cache_host = std::move(where.first);
    state.target.settings.shared_cache_port = where.second;
    one_way_to_the_store(state);
    log_msg(LOG_DEBUG, "SharedCacheServer %.*s", static_cast<int>(value.size()), value.data());
    return outcome::done;
}

// "HOST:PORT", one Sentinel a line, asked in the order of the lines.
outcome shared_cache_sentinel(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "SharedCacheSentinel";
    constexpr std::size_t most_sentinels = 8;
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    std::string_view value = *found;
    while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);
    auto where = host_and_port(keyword, value);
    auto& sentinels = state.target.settings.shared_cache_sentinels;
    if (sentinels.size() == most_sentinels) line_error("SharedCacheSentinel: at most 8 lines");
    if (sentinels.empty()) state.first_sentinel_line = state.line_number;
    sentinels.push_back(std::move(where));
    one_way_to_the_store(state);
    log_msg(LOG_DEBUG, "SharedCacheSentinel %.*s", static_cast<int>(value.size()), value.data());
    return outcome::done;
}

// As a prefix: a Sentinel message separates the name from the rest by a blank.
outcome shared_cache_master_name(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "SharedCacheMasterName";
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    std::string_view value = *found;
    while (!value.empty() && is_blank(value.back())) value.remove_suffix(1);
    if (value.empty() || value.size() > 128 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 127; })) {
        invalid_value(keyword, value);
    }
    state.target.settings.shared_cache_master_name = std::string(value);
    log_msg(LOG_DEBUG, "SharedCacheMasterName %.*s", static_cast<int>(value.size()), value.data());
    return outcome::done;
}

// Printable text without blanks, 1 to 128 characters.
outcome shared_cache_prefix(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "SharedCachePrefix";
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    const std::string_view value = *found;
    if (value.empty() || value.size() > 128 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 127; })) {
        invalid_value(keyword, value);
    }
    state.target.settings.shared_cache_prefix = std::string(value);
    log_msg(LOG_DEBUG, "SharedCachePrefix %.*s", static_cast<int>(value.size()), value.data());
    return outcome::done;
}

// Milliseconds, 1 to 60000.
outcome shared_cache_timeout(const char* line, reading_state& state) {
    constexpr std::string_view keyword = "SharedCacheTimeout";
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    const std::string_view value = *found;
    const std::uint64_t ms = whole_number(keyword, value, 5);
    if (ms < 1 || ms > 60000) invalid_value(keyword, value);
    state.target.settings.shared_cache_timeout_ms = static_cast<std::int32_t>(ms);
    log_msg(LOG_DEBUG, "SharedCacheTimeout set to %d ms",
            state.target.settings.shared_cache_timeout_ms);
    return outcome::done;
}

// The rest of the line, 1 to 512 bytes, into target; never echoed.
outcome password_line(const char* line, std::string_view keyword,
                      std::optional<std::string>& target) {
    const auto found = keyword_value(line, keyword);
    if (!found) return outcome::no_match;
    const std::string_view value = *found;
    if (value.empty() || value.size() > 512 || value.find('\0') != std::string_view::npos) {
        line_error("%.*s invalid value", static_cast<int>(keyword.size()), keyword.data());
    }
    target = std::string(value);
    log_msg(LOG_DEBUG, "%.*s set", static_cast<int>(keyword.size()), keyword.data());
    return outcome::done;
}

outcome shared_cache_password(const char* line, reading_state& state) {
    return password_line(line, "SharedCachePassword", state.target.settings.shared_cache_password);
}

// As SharedCachePassword, for the Sentinels.
outcome shared_cache_sentinel_password(const char* line, reading_state& state) {
    return password_line(line, "SharedCacheSentinelPassword",
                         state.target.settings.shared_cache_sentinel_password);
}

outcome shared_cache_push(const char* line, reading_state& state) {
    return yes_flag(line, "SharedCachePush", state.target.settings.shared_cache_push);
}

// Tried in this order; the first row that matches decides.
using keyword_row = outcome (*)(const char* line, reading_state& state);
constexpr keyword_row keyword_table[] = {
    valid_addr_exp,
    invalid_addr_exp,
    smtp_server,
    smtp_fallback,
    addr_domain,
    smtp_port,
    prefer_ip_version,
    addr_subdomains,
    error_tempfail,
    back_list,
    timeout_connect,
    timeout_reply,
    skip_verify_network,
    skip_verify_host,
    skip_daemon,
    smtp_backoff,
    milter_fast_path,
    log_verdicts,
    catch_all_check,
    max_connections,
    // Metrics.
    metrics_listen,
    // Operations
    cache_max_entries,
    list_save_interval,
    control_socket,
    // The shared verdict store.
    shared_cache_server,
    shared_cache_prefix,
    shared_cache_timeout,
    shared_cache_password,
    shared_cache_sentinel_password,
    shared_cache_sentinel,
    shared_cache_master_name,
    shared_cache_push,
};

// Every keyword a row reads, for telling a malformed value from a typo.
constexpr std::string_view known_keywords[] = {
    "BackValidAddrExp",
    "BackInvalidAddrExp",
    "BackSMTPServer",
    "BackAddrDomain",
    "BackSMTPPort",
    "PreferIPVersion",
    "BackAddrSubdomains",
    "BackErrorTempfail",
    "BackList",
    "TimeoutSMTPConnect",
    "TimeoutSMTPReply",
    "BackSkipVerify",
    "BackSkipDaemon",
    "BackSMTPBackoff",
    "MetricsListen",
    "BackCacheMaxEntries",
    "BackListSaveInterval",
    "ControlSocket",
    "SharedCacheServer",
    "SharedCachePrefix",
    "SharedCacheTimeout",
    "SharedCachePassword",
    "MilterFastPath",
    "LogVerdicts",
    "BackCatchAllCheck",
    "BackSMTPFallback",
    "SharedCacheSentinel",
    "SharedCacheMasterName",
    "SharedCacheSentinelPassword",
    "BackSMTPMaxConnections",
    "SharedCachePush",
};

// A line no row took: a typo in the keyword, or a value the row could not read.
void note_unread(const char* line) {
    const std::string_view text = rest_of_line(line);
    const auto colon = text.find(':');
    const std::string keyword = printable_excerpt(text.substr(0, colon));
    if (colon == std::string_view::npos) {
        line_note(R"(no "Keyword:value" on the line: "%s" ignored)", keyword.c_str());
    } else if (std::find(std::begin(known_keywords), std::end(known_keywords),
                         text.substr(0, colon)) != std::end(known_keywords)) {
        const std::string value = printable_excerpt(text.substr(colon + 1));
        line_note("%s: value \"%s\" not understood, line ignored", keyword.c_str(), value.c_str());
    } else {
        line_note("unknown keyword \"%s\", line ignored", keyword.c_str());
    }
}

// Keywords whose one value makes a line shorter than 17 characters
// ("LogVerdicts:yes"): they are read whatever the length.
bool read_at_any_length(const char* line) {
    return after_keyword(line, "LogVerdicts") != nullptr;
}

bool blank_line(const char* line) {
    return rest_of_line(line).find_first_not_of(" \t") == std::string_view::npos;
}

outcome read_line(const char* line, reading_state& state) {
    try {
        for (const keyword_row row : keyword_table) {
            if (const outcome result = row(line, state); result != outcome::no_match) return result;
        }
    } catch (const std::bad_alloc&) {
        return outcome::out_of_memory;
    } catch (const line_refused&) {
        return outcome::done;
    }
    note_unread(line);
    return outcome::no_match;
}

// Sets and clears the reading under way.
class current_reading {
public:
    explicit current_reading(reading_state& state) : previous_(current) { current = &state; }
    ~current_reading() { current = previous_; }
    current_reading(const current_reading&) = delete;
    current_reading& operator=(const current_reading&) = delete;

private:
    reading_state* previous_;
};

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

int read_config(std::FILE* file, const char* file_name, configuration& config, reading_mode mode,
                reading_report& report) {
    reading_state state{config, mode, report, file_name, 1, {}, false, false, {}, 0, {}, 0};
    const current_reading reading(state);
    char line[line_buffer_size];
    // A line longer than the buffer arrives in pieces, each read as a line.
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const std::size_t length = std::strlen(line);
        const bool line_ends = length > 0 && line[length - 1] == '\n';
        if (line[0] != '#') {
            if (length < shortest_line && !read_at_any_length(line)) {
                if (!blank_line(line)) {
                    line_note(
                        "a line shorter than 17 characters is ignored "
                        "(write numbers with leading zeros: BackSMTPPort:00025)");
                }
            } else if (read_line(line, state) == outcome::out_of_memory) {
                return 1;
            }
        }
        if (line_ends) ++state.line_number;
    }
    if (!config.settings.shared_cache_sentinels.empty() &&
        !config.settings.shared_cache_master_name) {
        state.line_number = state.first_sentinel_line;
        try {
            line_error("SharedCacheSentinel needs SharedCacheMasterName");
        } catch (const line_refused&) {
        }
    }
    return 0;
}

int parse_config(const char* path) {
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "r"));
    if (file == nullptr) {
        log_msg(LOG_ERR, "cannot open configuration file %s: %s", path, std::strerror(errno));
        return 1;
    }
    return parse_config(file.get(), path);
}

int parse_config(std::FILE* file, const char* file_name) {
    configuration staged;
    try {
        staged.settings = settings;
    } catch (const std::bad_alloc&) {
        return 1;
    }
    reading_report report;
    if (read_config(file, file_name, staged, reading_mode::start_up, report) != 0) return 1;
    return install_config(std::move(staged)) ? 0 : 1;
}

int parse_config_text(std::string_view text) {
    if (text.empty()) return 0;  // fmemopen refuses an empty buffer
    const std::unique_ptr<std::FILE, file_closer> file(
        fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
    if (file == nullptr) return 1;
    return parse_config(file.get());
}

bool install_config(configuration&& config) {
    if (!routes_install(std::move(config.routes)) ||
        !exemptions_install(std::move(config.exemptions))) {
        return false;
    }
    settings = std::move(config.settings);
    return true;
}

int check_config(const char* path, const settings_record& baseline) {
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "r"));
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot open: %s\n", path, std::strerror(errno));
        return exit_status::configuration;
    }
    configuration config;
    config.settings = baseline;
    reading_report report;
    if (read_config(file.get(), path, config, reading_mode::check, report) != 0) {
        std::fprintf(stderr, "%s: out of memory\n", path);
        return exit_status::configuration;
    }
    if (config.routes.empty()) {
        std::fprintf(stderr, "%s: BackAddrDomain not defined\n", path);
        ++report.errors;
    }
    if (!config.exemptions.add_defaults()) return exit_status::configuration;
    const std::size_t domains = config.routes.domain_count();
    std::printf(
        "%s: %zu route%s to %zu server%s, %zu exempt network%s, %zu exempt daemon%s; "
        "%d error%s, %d note%s\n",
        path, domains, domains == 1 ? "" : "s", config.routes.server_count(),
        config.routes.server_count() == 1 ? "" : "s", config.exemptions.net_count(),
        config.exemptions.net_count() == 1 ? "" : "s", config.exemptions.daemon_count(),
        config.exemptions.daemon_count() == 1 ? "" : "s", report.errors,
        report.errors == 1 ? "" : "s", report.notes, report.notes == 1 ? "" : "s");
    return report.errors == 0 ? exit_status::ok : exit_status::configuration;
}

void set_config_exit_handler(config_exit_handler handler) {
    exit_handler = handler;
}

int resolve_server(const char* name, sockaddr_storage& address, int preferred_version) {
    addrinfo hints{};
    hints.ai_family = preferred_version == 4   ? AF_INET
                      : preferred_version == 6 ? AF_INET6
                                               : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (const int error = getaddrinfo(name, "smtp", &hints, &results); error != 0) return error;
    address = {};
    std::memcpy(&address, results->ai_addr,
                std::min<std::size_t>(results->ai_addrlen, sizeof address));
    freeaddrinfo(results);
    return 0;
}

}  // namespace kelvantor
