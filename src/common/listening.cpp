// The accept loop's back-off and the log rate limit.
#include "common/listening.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/log.h"

namespace kelvantor {
namespace {

constexpr std::chrono::milliseconds first_pause{10};
constexpr std::chrono::milliseconds longest_pause{1000};

int poll_ms(std::chrono::milliseconds wait) {
    return wait.count() < 0 ? -1 : static_cast<int>(std::min<long long>(wait.count(), 1 << 30));
}

// The client went away before it was accepted, or a signal came: try again at once.
bool transient(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED ||
           error == EPROTO;
}

}  // namespace

bool log_rate_limit::allow(unsigned long& suppressed) {
    const std::lock_guard hold(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (in_window_ == 0 || now - window_start_ >= window_) {
        window_start_ = now;
        in_window_ = 0;
    }
    if (in_window_ >= burst_) {
        ++held_back_;
        return false;
    }
    ++in_window_;
    suppressed = std::exchange(held_back_, 0);
    return true;
}

accept_outcome acceptor::next(std::chrono::milliseconds wait, unique_fd& client,
                              sockaddr_storage* peer, socklen_t* peer_length) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const int ready = poll(fds, 2, poll_ms(wait));
    if (ready < 0 && errno != EINTR) return pause_after(errno);
    if (fds[1].revents != 0) return accept_outcome::stopped;
    if (ready <= 0 || fds[0].revents == 0) return accept_outcome::idle;

    sockaddr_storage ignored{};
    socklen_t length = sizeof ignored;
    sockaddr_storage* into = peer != nullptr ? peer : &ignored;
    client.reset(accept4(listener_, reinterpret_cast<sockaddr*>(into), &length,
                         SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) return transient(errno) ? accept_outcome::idle : pause_after(errno);
    if (peer_length != nullptr) *peer_length = length;
    pause_ = std::chrono::milliseconds(0);
    return accept_outcome::accepted;
}

accept_outcome acceptor::pause_after(int error) {
    unsigned long suppressed = 0;
    if (failures_.allow(suppressed)) {
        if (suppressed > 0) {
            log_msg(LOG_WARNING,
                    "%s: cannot accept a connection: %s (%lu more since the last report)", name_,
                    std::strerror(error), suppressed);
        } else {
            log_msg(LOG_WARNING, "%s: cannot accept a connection: %s", name_, std::strerror(error));
        }
    }
    pause_ = std::clamp(pause_ * 2, first_pause, longest_pause);
    pollfd wake{wake_, POLLIN, 0};
    if (poll(&wake, 1, poll_ms(pause_)) > 0) return accept_outcome::stopped;
    return accept_outcome::idle;
}

}  // namespace kelvantor
