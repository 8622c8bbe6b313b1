// SMTP replies as text: where a reply ends, and what its code means.  Pure
// functions over bytes, with no I/O, so that every rule can be tested alone.
// A reply is a run of lines ended by LF; every line but the last is a
// continuation line ("250-..."); the first line that is not one ends it.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelvantor {

// Finds the end of one reply in bytes that arrive piece by piece.  Each call
// looks only at the bytes it has not seen before, so a reply that drips in a
// byte at a time costs linear time.
class reply_scanner {
public:
    enum class state {
        partial,   // no final line yet: this is not a reply (yet)
        complete,  // the bytes are one whole reply, nothing after it
        overrun,   // a whole reply followed by bytes nobody asked for
    };

    // bytes[0, count) is everything received so far, of which the bytes seen
    // by earlier calls are unchanged.
    state scan(const char* bytes, std::size_t count) noexcept;

    // Length of the reply, its final LF included (valid unless partial).
    std::size_t reply_length() const noexcept { return reply_length_; }

private:
    std::size_t scanned_ = 0;     // bytes already looked at
    std::size_t line_start_ = 0;  // offset of the line being received
    std::size_t reply_length_ = 0;
};

// What a reply says, by its first three characters as the filter reads them.
enum class reply_kind {
    unusable,      // 4 bytes or fewer: no usable reply ("250\n" included)
    accepted,      // 250
    greeting,      // 220
    closing,       // 221
    other_2xx,     // any other reply beginning with "2"
    unknown_user,  // 550 or 553: the mailbox does not exist
    refused,       // any other code beginning with "55"
    other_5xx,     // any other reply beginning with "5"
    other,         // 4xx, 1xx, 3xx, and text that is no reply code
};

reply_kind classify_reply(std::string_view reply) noexcept;

// The reply's three-digit code, or 0 when its first three bytes are not digits.
int reply_code(std::string_view reply) noexcept;

// True for the kinds whose code begins with "5".
constexpr bool is_permanent_failure(reply_kind kind) noexcept {
    return kind == reply_kind::unknown_user || kind == reply_kind::refused ||
           kind == reply_kind::other_5xx;
}

}  // namespace kelvantor
