// Domain routes: which backend server (address and port) answers for which
// recipient domain.  Filled by the configuration reader before the milter
// starts, then read without locks.  The route added last is tried first.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvantor {

struct domain_route {
    std::uint16_t port = 25;
    sockaddr_storage server_addr{};
    std::string domain;  // as written in the configuration, case kept
};

// Result of a lookup.  No route: port 25 and an all-zero address (AF_UNSPEC).
struct route_target {
    std::uint16_t port = 25;
    sockaddr_storage server_addr{};
};

// Adds a route in front of the others; false when memory ran out (nothing added).
bool route_add(std::string_view domain, std::uint16_t port, const sockaddr_storage& server_addr);

// The route for a recipient domain, matched ignoring ASCII case, exactly or
// (once subdomains are switched on) as a subdomain; the first route in list
// order wins.
route_target route_lookup(std::string_view domain);

// Whether routes also match subdomains of their domain; off at first.
void route_match_subdomains(bool on);

// The domain part of an address: the text after the last "@" that has at
// least one character after it, or the whole address.  A view into address.
std::string_view domain_of(std::string_view address) noexcept;

// Whether a recipient domain falls under a route's domain: equal ignoring
// ASCII case, or, with subdomains, a subdomain of it by the routes' own rule.
bool domain_matches(std::string_view domain, std::string_view route_domain,
                    bool subdomains) noexcept;

bool route_list_empty();

// Empties the list and switches subdomain matching off (start-up, and between tests).
void route_list_clear();

}  // namespace kelvantor
