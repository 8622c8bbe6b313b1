// Byte-level test peers: the raw peer's thread accepts one connection, plays
// its steps with their pauses and then ends as asked.  Waits also watch a
// stop eventfd, so the destructor ends the thread at once.
#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/test_backend.h"

namespace kelvantor::testing {

struct raw_peer::state {
    std::vector<raw_step> steps;
    raw_end end = raw_end::stay_open;
    unique_fd listener;
    unique_fd stop;
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool accepted = false;
    bool played = false;
    std::string received;
    std::thread thread;
};

namespace {

using chrono_ms = std::chrono::milliseconds;

// Binds a TCP socket to 127.0.0.1 with a port picked by the system.
unique_fd bound_socket(std::uint16_t& port) {
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_storage address = loopback_address(0);
    if (!fd ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_in)) != 0) {
        throw std::runtime_error(std::string("cannot bind test socket: ") + std::strerror(errno));
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
    return fd;
}

// Polls fd for events and the stop eventfd; false when stopped or failed.
bool wait_or_stop(const raw_peer::state& s, int fd, short events, int timeout_ms) {
    pollfd entries[2] = {{fd, events, 0}, {s.stop.get(), POLLIN, 0}};
    return ::poll(entries, 2, timeout_ms) > 0 && entries[1].revents == 0;
}

void set(raw_peer::state& s, bool raw_peer::state::*flag) {
    {
        std::lock_guard lock(s.mutex);
        s.*flag = true;
    }
    s.changed.notify_all();
}

void play(raw_peer::state& s) {
    if (!wait_or_stop(s, s.listener.get(), POLLIN, -1)) return;
    unique_fd connection(::accept4(s.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) return;
    const int one = 1;
    ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set(s, &raw_peer::state::accepted);

    for (const raw_step& step : s.steps) {
        if (step.pause.count() > 0) {
            pollfd stop{s.stop.get(), POLLIN, 0};
            const auto us = step.pause.count();
            const timespec pause{static_cast<time_t>(us / 1'000'000),
                                 static_cast<long>(us % 1'000'000) * 1000};
            if (::ppoll(&stop, 1, &pause, nullptr) != 0) return;
        }
        // The peer's socket is blocking: a large chunk goes out whole.
        if (!step.bytes.empty() &&
            ::send(connection.get(), step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) {
            return;
        }
    }

    if (s.end == raw_end::reset) {
        const linger abort{1, 0};
        ::setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    if (s.end != raw_end::stay_open) {
        connection.reset();
        set(s, &raw_peer::state::played);
        return;
    }
    set(s, &raw_peer::state::played);

    char chunk[4096];
    while (wait_or_stop(s, connection.get(), POLLIN, -1)) {
        const ssize_t n = ::recv(connection.get(), chunk, sizeof chunk, 0);
        if (n <= 0) return;
        {
            std::lock_guard lock(s.mutex);
            s.received.append(chunk, static_cast<std::size_t>(n));
        }
        s.changed.notify_all();
    }
}

}  // namespace

raw_peer::raw_peer(std::vector<raw_step> steps, raw_end end) : state_(std::make_unique<state>()) {
    state& s = *state_;
    s.steps = std::move(steps);
    s.end = end;
    s.listener = bound_socket(s.port);
    s.stop.reset(::eventfd(0, EFD_CLOEXEC));
    if (::listen(s.listener.get(), 1) != 0 || !s.stop) {
        throw std::runtime_error("raw_peer: cannot listen");
    }
    s.thread = std::thread(play, std::ref(s));
}

raw_peer::~raw_peer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(state_->stop.get(), &one, sizeof one);
    state_->thread.join();
}

std::uint16_t raw_peer::port() const {
    return state_->port;
}

sockaddr_storage raw_peer::address() const {
    return loopback_address(state_->port);
}

bool raw_peer::wait_accepted(chrono_ms bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, bound, [&] { return state_->accepted; });
}

bool raw_peer::wait_played(chrono_ms bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, bound, [&] { return state_->played; });
}

std::string raw_peer::received() const {
    std::lock_guard lock(state_->mutex);
    return state_->received;
}

bool raw_peer::wait_for_received(std::size_t n, chrono_ms bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, bound, [&] { return state_->received.size() >= n; });
}

refusing_port::refusing_port() : socket_(bound_socket(port_)) {}

sockaddr_storage refusing_port::address() const {
    return loopback_address(port_);
}

full_listener::full_listener() : listener_(bound_socket(port_)) {
    // A backlog of 0 holds one connection; SYNs beyond it are dropped.
    if (::listen(listener_.get(), 0) != 0) throw std::runtime_error("full_listener: cannot listen");
    filler_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_storage address = loopback_address(port_);
    if (!filler_ ||
        ::connect(filler_.get(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof(sockaddr_in)) != 0 ||
        !wait_events(listener_.get(), POLLIN, std::chrono::seconds(10))) {
        throw std::runtime_error("full_listener: cannot fill the backlog");
    }
}

sockaddr_storage full_listener::address() const {
    return loopback_address(port_);
}

int connect_plain(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    const sockaddr_storage address = loopback_address(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_in)) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int queued_bytes(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool wait_queued(int fd, std::size_t n, chrono_ms bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    // Bounded by the deadline; each round waits for first input or 1 ms.
    while (std::chrono::steady_clock::now() < deadline) {
        const int queued = queued_bytes(fd);
        if (queued >= 0 && static_cast<std::size_t>(queued) >= n) return true;
        pollfd entry{fd, POLLIN, 0};
        ::poll(&entry, queued > 0 ? 0 : 1, 1);
    }
    return false;
}

bool wait_events(int fd, short events, chrono_ms bound) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, static_cast<int>(bound.count())) > 0 && (entry.revents & events) != 0;
}

}  // namespace kelvantor::testing
