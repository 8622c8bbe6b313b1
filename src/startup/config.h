// The configuration reader: one pass over the line-oriented configuration
// file at start-up, filling the settings, the routes and the exemptions.
#pragma once

#include <sys/socket.h>

namespace kelvantor {

// Exit status for configuration and initialisation errors.
inline constexpr int config_error_status = 71;

// Reads the file; 0 read to its end, 1 not openable or out of memory.  Ends
// the process with status 71 on an unresolvable server, a domain before any
// server, a port above 65535 or an impossible exempt network.
int parse_config(const char* path);

// Resolves a backend server name (service "smtp") for IPv4 (version 4), IPv6
// (6) or either (any other value); 0 or a getaddrinfo error code.
int resolve_server(const char* name, sockaddr_storage& address, int preferred_version);

}  // namespace kelvantor
