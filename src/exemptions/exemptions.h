// Exempt clients: IPv4 networks and MTA daemon names whose clients are
// accepted without any check.  Filled during start-up, read afterwards; the
// network list is read under a lock of its own, never taken for writing.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvantor {

struct skip_net {
    std::uint16_t prefix_len = 32;
    std::uint32_t addr = 0;  // network byte order; bits beyond the prefix are ignored
};

// Push an entry in front of its list; false when memory ran out (nothing added).
bool skip_net_add(std::uint32_t addr, std::uint16_t prefix_len);
bool skip_daemon_add(std::string_view name);

// 127.0.0.1/32 always, "MSA" when no daemon name was configured.  Exits with
// status 71 when an entry cannot be added.
void add_skip_defaults();

// Initialises the network list's lock; 0 or the pthread error number.
int skip_net_lock_init();

// True when the IPv4 address (network byte order) lies in an exempt network.
bool skip_net_match(std::uint32_t client_addr);

// True when the daemon name equals an exempt name, ignoring ASCII case; false for nullptr.
bool skip_daemon_match(const char* name);

// Empties both lists (start-up, and between tests).
void exemption_lists_clear();

}  // namespace kelvantor
