// The HTTP listener for the metrics: GET (or HEAD) /metrics answers the
// Prometheus text, any other path 404, any other method on /metrics 405.
// Each connection carries one request and has an absolute deadline; when all
// connection slots are taken, a new connection closes the oldest one, so
// clients that trickle their headers cannot keep a scraper out.  Our own
// thread accepts (pausing when descriptors run out) and hands connections to
// libmicrohttpd, which serves them from a thread of its own with epoll or
// poll, so descriptors above FD_SETSIZE are fine.
#pragma once

#include <sys/socket.h>

#include <chrono>

namespace kelvantor {

struct metrics_server_limits {
    std::chrono::milliseconds deadline{5000};  // from accept to close, whatever the client does
    unsigned connections = 32;                 // open at once; a new one closes the oldest
};

// Binds address and starts serving; false (logged) if it cannot.  Started
// after the privilege switch and after daemon mode's fork.
bool metrics_server_start(const sockaddr_storage& address,
                          const metrics_server_limits& limits = {});

// Stops serving and closes the socket; nothing if not started.
void metrics_server_stop() noexcept;

}  // namespace kelvantor
