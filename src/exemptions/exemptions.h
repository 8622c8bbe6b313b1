// Exempt clients: IPv4 networks and MTA daemon names whose clients are
// accepted without any check.  An exemption_set is built by the configuration
// reader and then installed whole (at start-up and at each reload); matches
// read the installed set without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <string>
#include <string_view>

#include "common/snapshot.h"

namespace kelvantor {

struct skip_net {
    std::uint16_t prefix_len = 32;
    std::uint32_t addr = 0;  // network byte order; bits beyond the prefix are ignored
};

struct exemption_set {
    std::forward_list<skip_net> nets;  // heads: the entries added last
    std::forward_list<std::string> daemons;

    // Push an entry in front of its list; false when memory ran out (nothing added).
    bool add_net(std::uint32_t addr, std::uint16_t prefix_len);
    bool add_daemon(std::string_view name);
    // 127.0.0.1/32 always, "MSA" when no daemon name was configured; false
    // when memory ran out.
    bool add_defaults();
    std::size_t net_count() const noexcept;
    std::size_t daemon_count() const noexcept;
};

// Replaces the installed set; matches under way keep the old one.  False
// when memory ran out (the old set stays).
bool exemptions_install(exemption_set&& set);
snapshot<exemption_set>::hold exemptions_installed();

// The same operations on the installed set (start-up and tests: each copies
// the set and installs the copy).
bool skip_net_add(std::uint32_t addr, std::uint16_t prefix_len);
bool skip_daemon_add(std::string_view name);

// 127.0.0.1/32 always, "MSA" when no daemon name was configured.  Exits with
// status 71 when an entry cannot be added.
void add_skip_defaults();

// True when the IPv4 address (network byte order) lies in an exempt network.
bool skip_net_match(std::uint32_t client_addr);

// True when the daemon name equals an exempt name, ignoring ASCII case; false for nullptr.
bool skip_daemon_match(const char* name);

// Empties both lists (start-up, and between tests).
void exemption_lists_clear();

}  // namespace kelvantor
