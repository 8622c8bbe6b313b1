// Domain routes: which backend server (address and port) answers for which
// recipient domain.  A route_table is built by the configuration reader and
// then installed whole (at start-up and at each reload); lookups read the
// installed table without a lock.  The route added last is tried first.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <string>
#include <string_view>

#include <vector>
#include "common/snapshot.h"

namespace kelvantor {

// A server that answers when the route's own server cannot: its port and address.
struct fallback_server {
    std::uint16_t port = 25;
    sockaddr_storage server_addr{};
};

// The fallbacks of a route, in the order they are tried after its server.
inline constexpr std::size_t max_fallbacks = 3;
struct fallback_list {
    std::array<fallback_server, max_fallbacks> servers{};
    std::size_t count = 0;
};

struct domain_route {
    std::uint16_t port = 25;
    sockaddr_storage server_addr{};
    std::string domain;  // as written in the configuration, case kept
    fallback_list fallbacks;
};

// Result of a lookup.  No route: port 25 and an all-zero address (AF_UNSPEC).
struct route_target {
    std::uint16_t port = 25;
    sockaddr_storage server_addr{};
    fallback_list fallbacks;
};

class route_table {
public:
    // Adds a route in front of the others; false when memory ran out (nothing added).
    bool add(std::string_view domain, std::uint16_t port, const sockaddr_storage& server_addr,
             const fallback_list& fallbacks = {});
    // The route for a recipient domain, matched ignoring ASCII case, exactly or
    // (with subdomains on) as a subdomain; the first route in list order wins.
    // One trailing dot of the recipient domain is ignored (sendmail writes
    // canonical names so).
    route_target lookup(std::string_view domain) const;
    void match_subdomains(bool on) noexcept { subdomains_ = on; }
    bool subdomains() const noexcept { return subdomains_; }
    bool empty() const noexcept { return routes_.empty(); }
    // The domains routed (a domain routed twice counts once), and the
    // distinct servers (address and port) their routes name, fallbacks included.
    std::size_t domain_count() const;
    std::size_t server_count() const { return servers().size(); }
    // The distinct servers, in list order of their first route.
    std::vector<route_target> servers() const;

private:
    std::forward_list<domain_route> routes_;  // head: the route added last
    bool subdomains_ = false;
};

// Replaces the installed table; lookups under way keep the old one.  False
// when memory ran out (the old table stays).
bool routes_install(route_table&& table);
snapshot<route_table>::hold routes_installed();

// The same operations on the installed table (start-up and tests: each
// copies the table and installs the copy).
bool route_add(std::string_view domain, std::uint16_t port, const sockaddr_storage& server_addr);
route_target route_lookup(std::string_view domain);
// Whether routes also match subdomains of their domain; off at first.
void route_match_subdomains(bool on);
bool route_list_empty();
// Empties the list and switches subdomain matching off (start-up, and between tests).
void route_list_clear();

// The domain part of an address: the text after the last "@" that has at
// least one character after it, or the whole address.  A view into address.
std::string_view domain_of(std::string_view address) noexcept;

// Whether a recipient domain falls under a route's domain: equal ignoring
// ASCII case, or, with subdomains, a subdomain of it by the routes' own rule.
bool domain_matches(std::string_view domain, std::string_view route_domain,
                    bool subdomains) noexcept;

}  // namespace kelvantor
