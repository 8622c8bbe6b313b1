// The fleet's push messages: their text and its strict reading.
#include "shared/push_message.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <random>

namespace kelvantor {
namespace {

constexpr std::string_view version = "1";

struct kind_word {
    push_kind kind;
    std::string_view word;
};
constexpr kind_word kind_words[] = {
    {push_kind::valid, "v"},
    {push_kind::invalid, "i"},
    {push_kind::purge_address, "purge-address"},
    {push_kind::purge_domain, "purge-domain"},
    {push_kind::purge_subdomains, "purge-subdomains"},
    {push_kind::purge_invalid, "purge-invalid"},
};

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
// Printable, no blank, no angle bracket (never in a stored address).
bool is_subject_char(char c) {
    return c > ' ' && c < 127 && c != '<' && c != '>';
}

// The next blank-separated field; empty fields (two blanks) fail.
std::optional<std::string_view> field(std::string_view& rest) {
    if (rest.empty()) return std::nullopt;
    const auto blank = rest.find(' ');
    const std::string_view word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view{} : rest.substr(blank + 1);
    if (word.empty()) return std::nullopt;
    if (blank != std::string_view::npos && rest.empty()) return std::nullopt;  // a trailing blank
    return word;
}

}  // namespace

std::string format_push(const push_message& message) {
    std::string text;
    text.reserve(40 + message.subject.size());
    text.append(version).append(" ").append(message.gateway).append(" ");
    for (const kind_word& k : kind_words) {
        if (k.kind == message.kind) text.append(k.word);
    }
    if (message.kind == push_kind::valid || message.kind == push_kind::invalid) {
        text.append(" ").append(std::to_string(message.learnt_unix));
    }
    if (message.kind != push_kind::purge_invalid) text.append(" ").append(message.subject);
    return text;
}

std::optional<std::string> publishable_push(const push_message& message) {
    std::string text = format_push(message);
    if (!parse_push(text)) return std::nullopt;
    return text;
}

std::optional<push_message> parse_push(std::string_view text) {
    std::string_view rest = text;
    const auto got_version = field(rest);
    if (!got_version || *got_version != version) return std::nullopt;
    push_message message;
    const auto gateway = field(rest);
    if (!gateway || gateway->size() != gateway_id_length ||
        !std::all_of(gateway->begin(), gateway->end(), is_hex)) {
        return std::nullopt;
    }
    message.gateway = *gateway;
    const auto word = field(rest);
    if (!word) return std::nullopt;
    const auto* found = std::find_if(std::begin(kind_words), std::end(kind_words),
                                     [&](const kind_word& k) { return k.word == *word; });
    if (found == std::end(kind_words)) return std::nullopt;
    message.kind = found->kind;
    if (message.kind == push_kind::valid || message.kind == push_kind::invalid) {
        const auto learnt = field(rest);
        // Digits as written out: no sign, no leading zero.
        if (!learnt || learnt->size() > 18 || (learnt->size() > 1 && learnt->front() == '0') ||
            !std::all_of(learnt->begin(), learnt->end(), is_digit)) {
            return std::nullopt;
        }
        std::from_chars(learnt->data(), learnt->data() + learnt->size(), message.learnt_unix);
    }
    if (message.kind == push_kind::purge_invalid)
        return rest.empty() ? std::optional(message) : std::nullopt;
    const auto subject = field(rest);
    if (!subject || !rest.empty()) return std::nullopt;
    const std::size_t longest =
        message.kind == push_kind::purge_domain || message.kind == push_kind::purge_subdomains
            ? longest_push_domain
            : longest_push_address;
    if (subject->size() > longest ||
        !std::all_of(subject->begin(), subject->end(), is_subject_char)) {
        return std::nullopt;
    }
    message.subject = *subject;
    return message;
}

std::string push_channel(std::string_view prefix) {
    return std::string(prefix) + "<>";
}

std::string new_gateway_id() {
    std::array<unsigned char, gateway_id_length / 2> bytes{};
    if (getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        // Without the kernel's randomness: the clock and the address space.
        std::seed_seq seed{
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
            reinterpret_cast<std::uintptr_t>(&bytes)};
        std::mt19937 generator(seed);
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(generator());
    }
    constexpr char digits[] = "0123456789abcdef";
    std::string id;
    for (const unsigned char byte : bytes) {
        id += digits[byte >> 4];
        id += digits[byte & 15];
    }
    return id;
}

}  // namespace kelvantor
