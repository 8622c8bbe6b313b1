// Accepting connections on a listening socket without spinning when the
// process or the system runs out of descriptors, and a bound on how often a
// repeated failure reaches the log.  Used by the control socket's thread and
// by the metrics listener.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <mutex>

#include "common/unique_fd.h"

namespace kelvantor {

// Lets at most `burst` messages through in each `window`; the ones held back
// are counted, and the next one let through can say how many there were.
class log_rate_limit {
public:
    log_rate_limit(unsigned burst, std::chrono::seconds window) noexcept
        : burst_(burst), window_(window) {}
    // True when a message may be logged now; suppressed is then the number
    // held back since the last one that was.
    bool allow(unsigned long& suppressed);

private:
    std::mutex mutex_;
    const unsigned burst_;
    const std::chrono::seconds window_;
    std::chrono::steady_clock::time_point window_start_{};
    unsigned in_window_ = 0;
    unsigned long held_back_ = 0;
};

enum class accept_outcome { accepted, idle, stopped };

// The accepting side of a listening socket whose thread also watches a stop
// descriptor.  A failed accept other than a vanished client (descriptors
// exhausted, no memory) is logged at most once a minute and followed by a
// pause, 10 ms doubling up to a second, until an accept succeeds again: the
// pending connection stays in the backlog meanwhile, and a thread that went
// straight back to poll() would find it ready at once and spin.
class acceptor {
public:
    // name is what the log messages start with; listener and wake stay the caller's.
    acceptor(int listener, int wake, const char* name) noexcept
        : listener_(listener), wake_(wake), name_(name) {}

    // Waits up to wait (negative: without a bound) for a connection or for
    // the wake descriptor.  accepted: client holds the new connection
    // (close-on-exec, non-blocking) and peer its address; idle: the wait or
    // a pause ended without one; stopped: the wake descriptor is readable.
    accept_outcome next(std::chrono::milliseconds wait, unique_fd& client,
                        sockaddr_storage* peer = nullptr, socklen_t* peer_length = nullptr);

private:
    accept_outcome pause_after(int error);

    const int listener_;
    const int wake_;
    const char* const name_;
    std::chrono::milliseconds pause_{0};
    log_rate_limit failures_{1, std::chrono::seconds(60)};
};

}  // namespace kelvantor
