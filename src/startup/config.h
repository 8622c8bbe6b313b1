// The configuration reader: one pass over the line-oriented configuration
// file, filling a configuration (settings, routes, exemptions) that start-up
// installs; and the check of a file that `kelvantor -n` runs.
#pragma once

#include <sys/socket.h>

#include <cstdio>
#include <string_view>

#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "routing/routes.h"

namespace kelvantor {

// What one reading of the file builds.
struct configuration {
    settings_record settings;
    route_table routes;
    exemption_set exemptions;
};

// start_up: an error ends the process (status 71) after it is logged; notes
// (a line or value that is not used) are logged at debug level as
// FILE:LINE: text.  check: errors and notes are printed to standard error as
// FILE:LINE: text, and reading goes on past errors (their line left out).
// reload: as start-up, but an error is logged as FILE:LINE: text and counted,
// and reading goes on.
enum class reading_mode { start_up, check, reload };

struct reading_report {
    int errors = 0;
    int notes = 0;
};

// Reads the file into config (which holds the defaults and the command
// line's values beforehand); 0 read to its end, 1 out of memory.
int read_config(std::FILE* file, const char* file_name, configuration& config, reading_mode mode,
                reading_report& report);

// Makes config the one in force: settings, routes and exemptions; false when
// memory ran out.
bool install_config(configuration&& config);

// Reads the file in start-up mode, starting from the settings in force, and
// installs what it read; 0 read to its end, 1 not openable or out of memory
// (nothing installed then).  Ends the process with status 71 on an
// unresolvable server, a domain before any server, a port above 65535 or an
// impossible exempt network.
int parse_config(const char* path);
// The same for a file already open (read to its end, not closed) ...
int parse_config(std::FILE* file, const char* file_name = "-");
// ... and for configuration text held in memory.
int parse_config_text(std::string_view text);

// kelvantor -n: reads the file as start-up would, on top of baseline (the
// defaults and the command line), prints every problem to standard error and
// a one-line summary to standard output; the exit status start-up would have
// for the configuration: 0, or 71.
int check_config(const char* path, const settings_record& baseline);

// Resolves a backend server name (service "smtp") for IPv4 (version 4), IPv6
// (6) or either (any other value); 0 or a getaddrinfo error code.
int resolve_server(const char* name, sockaddr_storage& address, int preferred_version);

// What ends the process on a fatal configuration error: std::exit(status) by
// default.  A replacement (a fuzzer's, which throws) must not return; if it
// does, std::exit follows.  nullptr restores the default.
using config_exit_handler = void (*)(int status);
void set_config_exit_handler(config_exit_handler handler);

}  // namespace kelvantor
