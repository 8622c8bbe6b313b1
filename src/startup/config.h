// The configuration reader: one pass over the line-oriented configuration
// file at start-up, filling the settings, the routes and the exemptions.
#pragma once

#include <sys/socket.h>

#include <cstdio>
#include <string_view>

namespace kelvantor {

// Reads the file; 0 read to its end, 1 not openable or out of memory.  Ends
// the process with status 71 on an unresolvable server, a domain before any
// server, a port above 65535 or an impossible exempt network.
int parse_config(const char* path);
// The same for a file already open (read to its end, not closed) ...
int parse_config(std::FILE* file);
// ... and for configuration text held in memory.
int parse_config_text(std::string_view text);

// Resolves a backend server name (service "smtp") for IPv4 (version 4), IPv6
// (6) or either (any other value); 0 or a getaddrinfo error code.
int resolve_server(const char* name, sockaddr_storage& address, int preferred_version);

// What ends the process on a fatal configuration error: std::exit(status) by
// default.  A replacement (a fuzzer's, which throws) must not return; if it
// does, std::exit follows.  nullptr restores the default.
using config_exit_handler = void (*)(int status);
void set_config_exit_handler(config_exit_handler handler);

}  // namespace kelvantor
