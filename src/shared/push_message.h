// The messages a fleet's filters push to each other on their prefix's
// channel: plain text, one message per publication, a version first.
//   "1 GATEWAY v LEARNT ADDRESS"        a valid verdict learnt at LEARNT (unix seconds)
//   "1 GATEWAY i LEARNT ADDRESS"        an invalid one
//   "1 GATEWAY purge-address ADDRESS"   the verdicts of an address removed
//   "1 GATEWAY purge-domain DOMAIN"     those of a domain
//   "1 GATEWAY purge-subdomains DOMAIN" those of a domain and its subdomains
//   "1 GATEWAY purge-invalid"           every invalid verdict
// GATEWAY is 16 lower-case hex digits, drawn at random by each process, so
// that a filter knows its own messages.  Parsing is strict: anything else is
// not a message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvantor {

enum class push_kind {
    valid,
    invalid,
    purge_address,
    purge_domain,
    purge_subdomains,
    purge_invalid
};

struct push_message {
    std::string_view gateway;
    push_kind kind = push_kind::valid;
    std::int64_t learnt_unix = 0;  // verdicts only
    std::string_view subject;      // the address or domain; empty for purge-invalid
};

inline constexpr std::size_t gateway_id_length = 16;
inline constexpr std::size_t longest_push_address = 254;  // as the verdict cache
inline constexpr std::size_t longest_push_domain = 255;

// The text of a message; the subject must be one parse_push accepts.
std::string format_push(const push_message& message);
// The same, or none when no filter would take the text from the channel
// (a subject parse_push refuses, such as one holding a blank).
std::optional<std::string> publishable_push(const push_message& message);

// The message the text holds, its views into text; none for anything that
// is not one (another version, a gateway that is not 16 hex digits, digits
// beyond 18, a subject too long or holding a blank, a control character,
// '<' or '>', a field too many or missing).
std::optional<push_message> parse_push(std::string_view text);

// The channel of a prefix: the prefix and "<>".  Two prefixes never share
// one, even when one begins with the other.
std::string push_channel(std::string_view prefix);

// A new random gateway id (getrandom); 16 lower-case hex digits.
std::string new_gateway_id();

}  // namespace kelvantor
