// Domain routes: the list of configured recipient domains with their backend
// server and port, and the lookup that the recipient check runs for every
// recipient.  The list is built on the main thread during start-up and only
// read afterwards, so lookups take no lock and allocate nothing.
#include "routing/routes.h"

#include <algorithm>
#include <forward_list>
#include <new>

namespace kelvantor {
namespace {

// Head is the route added last.
std::forward_list<domain_route> route_list;
bool match_subdomains = false;

// tolower() of the C locale, which the program never leaves: only A to Z
// change, bytes from 0x80 upwards stay as they are.
constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool same_ignoring_case(char a, char b) {
    return ascii_lower(a) == ascii_lower(b);
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_ignoring_case);
}

// The recipient domain is a subdomain of the route's domain when the first
// occurrence of the route's domain in it starts after a "." (not at the
// beginning) and runs to its end.  Later occurrences are never considered.
bool subdomain_of(std::string_view recipient, std::string_view route) {
    const auto first = std::search(recipient.begin(), recipient.end(), route.begin(), route.end(),
                                   same_ignoring_case);
    if (first == recipient.end() || first == recipient.begin()) return false;
    return recipient.end() - first == static_cast<std::ptrdiff_t>(route.size()) &&
           *(first - 1) == '.';
}

}  // namespace

bool route_add(std::string_view domain, std::uint16_t port, const sockaddr_storage& server_addr) {
    try {
        route_list.push_front(domain_route{port, server_addr, std::string(domain)});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

route_target route_lookup(std::string_view domain) {
    route_target target;
    if (domain.empty()) return target;
    for (const domain_route& route : route_list) {
        if (domain_matches(domain, route.domain, match_subdomains)) {
            target.port = route.port;
            target.server_addr = route.server_addr;
            break;
        }
    }
    return target;
}

std::string_view domain_of(std::string_view address) noexcept {
    std::size_t at = address.rfind('@');
    if (at == std::string_view::npos) return address;
    if (at + 1 < address.size()) return address.substr(at + 1);
    // The last "@" ends the address: look for an earlier one with text after it.
    while (at > 0) {
        --at;
        if (address[at] == '@') return address.substr(at + 1);
    }
    return address;
}

bool domain_matches(std::string_view domain, std::string_view route_domain,
                    bool subdomains) noexcept {
    return equal_ignoring_case(domain, route_domain) ||
           (subdomains && subdomain_of(domain, route_domain));
}

void route_match_subdomains(bool on) {
    match_subdomains = on;
}

bool route_list_empty() {
    return route_list.empty();
}

void route_list_clear() {
    route_list.clear();
    match_subdomains = false;
}

}  // namespace kelvantor
