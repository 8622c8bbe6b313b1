// Domain routes: the list of configured recipient domains with their backend
// server and port, and the lookup that the recipient check runs for every
// recipient.  The installed table is never changed: a reload installs a new
// one, and a lookup under way keeps the table it started with.
#include "routing/routes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/snapshot.h"

namespace kelvantor {
namespace {

// The installed table; never destroyed: connection threads may read until
// the process ends.
snapshot<route_table>& installed() {
    static auto* const current = new snapshot<route_table>;
    return *current;
}

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

bool route_table::add(std::string_view domain, std::uint16_t port,
                      const sockaddr_storage& server_addr, const fallback_list& fallbacks) {
    try {
        routes_.push_front(domain_route{port, server_addr, std::string(domain), fallbacks});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

route_target route_table::lookup(std::string_view domain) const {
    route_target target;
    if (domain.size() > 1 && domain.back() == '.') domain.remove_suffix(1);
    if (domain.empty()) return target;
    for (const domain_route& route : routes_) {
        if (domain_matches(domain, route.domain, subdomains_)) {
            target.port = route.port;
            target.server_addr = route.server_addr;
            target.fallbacks = route.fallbacks;
            break;
        }
    }
    return target;
}

std::size_t route_table::domain_count() const {
    std::size_t count = 0;
    for (auto route = routes_.begin(); route != routes_.end(); ++route) {
        // Counted at its first place in the list: the route in force.
        const bool shadowing = std::any_of(routes_.begin(), route, [&](const domain_route& other) {
            return equal_ignoring_case(other.domain, route->domain);
        });
        if (!shadowing) ++count;
    }
    return count;
}

std::vector<route_target> route_table::servers() const {
    std::vector<route_target> distinct;
    const auto note = [&](std::uint16_t port, const sockaddr_storage& addr) {
        const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const auto& other) {
            return other.port == port && std::memcmp(&other.server_addr, &addr, sizeof addr) == 0;
        });
        if (!seen) distinct.push_back({port, addr, {}});
    };
    for (const domain_route& route : routes_) {
        note(route.port, route.server_addr);
        for (std::size_t i = 0; i < route.fallbacks.count; ++i) {
            note(route.fallbacks.servers.at(i).port, route.fallbacks.servers.at(i).server_addr);
        }
    }
    return distinct;
}

bool routes_install(route_table&& table) {
    return installed().replace(std::move(table));
}

snapshot<route_table>::hold routes_installed() {
    return installed().get();
}

bool route_add(std::string_view domain, std::uint16_t port, const sockaddr_storage& server_addr) {
    return installed().change(
        [&](route_table& table) { return table.add(domain, port, server_addr); });
}

route_target route_lookup(std::string_view domain) {
    return installed().get()->lookup(domain);
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
    installed().change([on](route_table& table) {
        table.match_subdomains(on);
        return true;
    });
}

bool route_list_empty() {
    return installed().get()->empty();
}

void route_list_clear() {
    routes_install(route_table{});
}

}  // namespace kelvantor
