// Byte-level peers for socket tests, all on 127.0.0.1 with ports picked by the
// system: a raw peer that accepts one connection and sends chosen chunks with
// chosen pauses, a port that refuses connections, and a listener whose
// backlog is full so that connects to it time out.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace kelvantor::testing {

// One piece of what a raw peer sends: a pause, then the bytes in one send().
struct raw_step {
    std::chrono::microseconds pause{0};
    std::string bytes;
};

// What a raw peer does once every step is sent.
enum class raw_end {
    stay_open,  // keep the connection and record what arrives until the client closes
    close,      // close normally (FIN)
    reset,      // close with SO_LINGER 0, so the client gets a reset
};

class raw_peer {
public:
    explicit raw_peer(std::vector<raw_step> steps = {}, raw_end end = raw_end::stay_open);
    ~raw_peer();  // stops and joins the peer's thread
    raw_peer(const raw_peer&) = delete;
    raw_peer& operator=(const raw_peer&) = delete;

    std::uint16_t port() const;
    sockaddr_storage address() const;  // 127.0.0.1 with port() set

    bool wait_accepted(std::chrono::milliseconds bound) const;
    // True once every step is sent and the end carried out (for stay_open:
    // the steps sent).
    bool wait_played(std::chrono::milliseconds bound) const;
    // Bytes received from the client (stay_open only; read after the steps).
    std::string received() const;
    bool wait_for_received(std::size_t n, std::chrono::milliseconds bound) const;

    struct state;

private:
    std::unique_ptr<state> state_;
};

// A port on 127.0.0.1 that is bound but not listening: connects are refused.
class refusing_port {
public:
    refusing_port();
    std::uint16_t port() const { return port_; }
    sockaddr_storage address() const;

private:
    std::uint16_t port_ = 0;  // set while socket_ is bound: declared first
    unique_fd socket_;
};

// A listener on 127.0.0.1 with a backlog of 0 that never accepts, its queue
// filled by one connection of its own: further connects stay unanswered.
class full_listener {
public:
    full_listener();
    std::uint16_t port() const { return port_; }
    sockaddr_storage address() const;

private:
    std::uint16_t port_ = 0;  // set while listener_ is bound: declared first
    unique_fd listener_;
    unique_fd filler_;
};

// Bytes queued for reading on fd (FIONREAD), or -1.
// A non-blocking client socket connected with a plain blocking connect to
// 127.0.0.1:port.  The connect completes at the handshake whatever the peer
// does right after, so a peer that resets at once cannot fail it; -1 on failure.
int connect_plain(std::uint16_t port);

int queued_bytes(int fd);
// Waits, bounded, until at least n bytes are queued for reading on fd.
bool wait_queued(int fd, std::size_t n, std::chrono::milliseconds bound);
// Waits, bounded, until fd reports any of the poll events given.
bool wait_events(int fd, short events, std::chrono::milliseconds bound);

}  // namespace kelvantor::testing
