// The HTTP listener for the metrics: GET (or HEAD) /metrics answers the
// Prometheus text, any other path 404, any other method on /metrics 405.
// libmicrohttpd serves it from a thread of its own.
#pragma once

#include <sys/socket.h>

namespace kelvantor {

// Binds address and starts serving; false (logged) if it cannot.  Started
// after the privilege switch and after daemon mode's fork.
bool metrics_server_start(const sockaddr_storage& address);

// Stops serving and closes the socket; nothing if not started.
void metrics_server_stop() noexcept;

}  // namespace kelvantor
