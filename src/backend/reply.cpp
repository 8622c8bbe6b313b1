// SMTP replies as text: the incremental end-of-reply scanner and the
// classification of a reply by its first three characters.
#include "backend/reply.h"

#include <cstring>

namespace kelvantor {
namespace {

bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// "DDD-": a line that announces more lines of the same reply.
bool is_continuation(const char* line, std::size_t length) noexcept {
    return length >= 4 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) &&
           line[3] == '-';
}

}  // namespace

reply_scanner::state reply_scanner::scan(const char* bytes, std::size_t count) noexcept {
    if (reply_length_ != 0) return count > reply_length_ ? state::overrun : state::complete;
    while (scanned_ < count) {
        const void* found = std::memchr(bytes + scanned_, '\n', count - scanned_);
        if (found == nullptr) {
            scanned_ = count;
            break;
        }
        const auto line_feed = static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
        const std::size_t line_length = line_feed + 1 - line_start_;
        scanned_ = line_feed + 1;
        if (!is_continuation(bytes + line_start_, line_length)) {
            reply_length_ = scanned_;
            return count > reply_length_ ? state::overrun : state::complete;
        }
        line_start_ = scanned_;
    }
    return state::partial;
}

reply_kind classify_reply(std::string_view reply) noexcept {
    if (reply.size() <= 4) return reply_kind::unusable;
    const std::string_view code = reply.substr(0, 3);
    if (code == "250") return reply_kind::accepted;
    if (code == "220") return reply_kind::greeting;
    if (code == "221") return reply_kind::closing;
    if (code == "550" || code == "553") return reply_kind::unknown_user;
    if (reply[0] == '5') return reply[1] == '5' ? reply_kind::refused : reply_kind::other_5xx;
    if (reply[0] == '2') return reply_kind::other_2xx;
    return reply_kind::other;
}

int reply_code(std::string_view reply) noexcept {
    if (reply.size() < 3) return 0;
    int code = 0;
    for (const char c : reply.substr(0, 3)) {
        if (c < '0' || c > '9') return 0;
        code = code * 10 + (c - '0');
    }
    return code;
}

}  // namespace kelvantor
