// The control socket: a unix stream socket on which kelvantorctl (or anyone
// the socket's mode lets in) asks about and changes the verdict cache.  One
// request line per connection, at most 1024 bytes, answered with one line
// (stats and metrics: several) and the connection closed.  "dump" answers
// the verdicts as cache file lines and then "dumped N"; "import" reads cache
// file lines after the request line up to the client's end of sending.  A
// server thread serves one client at a time with a bounded wait for each; it
// never holds the cache lock across socket I/O, so the filter never waits
// for a client.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kelvantor {

struct control_config {
    std::string socket_path;
    bool group_access = false;                    // mode 0660 instead of 0600
    const char* cache_path = nullptr;             // what "save" writes; none: an error answer
    bool subdomains = false;                      // purge-domain also takes subdomains
    std::chrono::milliseconds client_wait{5000};  // for a request, and for the answer to leave
    // "reload": true when the configuration was reloaded, otherwise why not
    // in the string; none: an error answer.
    std::function<bool(std::string& why)> reload;
    std::size_t import_line_limit = 1000000;       // lines of one import
    std::chrono::milliseconds import_wait{60000};  // the whole of one import
};

inline constexpr std::size_t control_line_limit = 1024;

// The answer to one request line (without its line end), ending in a line feed.
std::string control_answer(std::string_view request, const control_config& config);

// Creates the socket (a stale socket at the path is replaced) and starts the
// server thread; false, with the reason logged, when the socket cannot be made.
bool control_start(const control_config& config);

// Stops the server thread and removes the socket; nothing when not started.
void control_stop();

}  // namespace kelvantor
