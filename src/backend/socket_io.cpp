// Backend connection and socket I/O.  The backend socket is non-blocking for
// its whole life and every wait on it is a ppoll with an explicit limit, so
// descriptors of any number work.  A reply is read until its final line has
// arrived or the command's wait runs out; it never grows beyond reply_cap.
#include "backend/socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "backend/reply.h"
#include "common/log.h"

namespace kelvantor {
namespace {

using steady = std::chrono::steady_clock;

// Everything a write may wait for room in the socket, all sends together.
constexpr std::chrono::seconds write_limit{1};

timespec as_timespec(steady::duration left) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    if (ns <= 0) return timespec{0, 0};
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// Waits once for events on fd.  Returns ppoll's result; a descriptor that is
// not open counts as a failed wait with EBADF, as select would report it.
int wait_for(int fd, short events, const timespec& limit) {
    pollfd entry{fd, events, 0};
    const int ready = ::ppoll(&entry, 1, &limit, nullptr);
    if (ready > 0 && (entry.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return ready;
}

socklen_t address_length(const sockaddr_storage& address) {
    return address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// Waits once for the connect on fd to finish: 0 connected, else the errno
// of the failure (ETIMEDOUT when the time ran out).
int wait_connected(int fd, std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    const timespec limit{static_cast<time_t>(ms / 1000),
                         static_cast<long>((ms % 1000) * 1'000'000)};
    const int ready = wait_for(fd, POLLOUT, limit);  // an interrupted wait is not repeated
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return errno;
    return pending;
}

}  // namespace

reply_buffer::reply_buffer(std::size_t size) noexcept
    : data_(static_cast<char*>(std::malloc(size))), size_(data_ != nullptr ? size : 0) {}

reply_buffer::~reply_buffer() {
    std::free(data_);
}

bool reply_buffer::grow(std::size_t step) noexcept {
    auto* larger = static_cast<char*>(std::realloc(data_, size_ + step));
    if (larger == nullptr) return false;
    data_ = larger;
    size_ += step;
    return true;
}

backend_socket backend_open(std::uint16_t port, std::chrono::milliseconds connect_timeout,
                            sockaddr_storage address) {
    backend_socket result;
    const int family = address.ss_family;
    if (family != AF_INET && family != AF_INET6) {
        log_msg(LOG_ERR, "unspecified address family");
        return result;
    }
    if (family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    }

    result.fd.reset(::socket(family, SOCK_STREAM, 0));
    if (!result.fd) {
        result.error = errno;
        log_msg(LOG_ERR, "cannot create socket %s", std::strerror(result.error));
        return result;
    }
    const int fd = result.fd.get();
    result.status = connect_status::failed;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        result.error = errno;
        return result;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), address_length(address)) != 0 &&
        errno != EINPROGRESS) {
        result.error = errno;
        return result;
    }
    // A connection that completed at once goes through the wait as well.
    result.error = wait_connected(fd, connect_timeout);
    if (result.error == 0) result.status = connect_status::connected;
    return result;
}

reply_read read_reply(int fd, reply_buffer& buffer, std::chrono::milliseconds wait) {
    if (fd < 0 || !buffer.valid()) return {reply_status::failed, 0};

    const auto deadline = steady::now() + wait;
    reply_scanner scanner;
    std::size_t count = 0;
    const auto unfinished = [&]() -> reply_read {
        if (count == 0) return {reply_status::silent, 0};
        log_msg(LOG_ERR, "incomplete backend reply on fd %d", fd);
        return {reply_status::incomplete, count};
    };
    for (;;) {
        const int ready = wait_for(fd, POLLIN, as_timespec(deadline - steady::now()));
        if (ready < 0) {
            if (errno == EINTR) continue;  // resumed with the time left
            log_msg(LOG_ERR, "clientread fail error %d on fd %d", errno, fd);
            return {reply_status::failed, count};
        }
        if (ready == 0) return unfinished();

        // Readable again with the block full: grow it, or stop at the cap.
        if (count == buffer.size()) {
            if (count >= reply_cap) {
                log_msg(LOG_ERR, "backend reply too long on fd %d", fd);
                return {reply_status::too_long, count};
            }
            if (!buffer.grow(std::min(reply_growth_step, reply_cap - buffer.size()))) {
                return {reply_status::failed, count};
            }
        }

        const ssize_t received = ::recv(fd, buffer.data() + count, buffer.size() - count, 0);
        if (received == 0) return unfinished();  // closed before a whole reply
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return unfinished();
        }
        count += static_cast<std::size_t>(received);
        switch (scanner.scan(buffer.data(), count)) {
            case reply_scanner::state::partial:
                break;
            case reply_scanner::state::complete:
                if (!has_unasked_bytes(fd)) return {reply_status::complete, count};
                [[fallthrough]];
            case reply_scanner::state::overrun:
                log_msg(LOG_ERR, "backend reply out of step on fd %d", fd);
                return {reply_status::overrun, scanner.reply_length()};
        }
    }
}

bool has_unasked_bytes(int fd) noexcept {
    char next = 0;
    return ::recv(fd, &next, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

int write_all(int fd, const char* bytes, int count) {
    if (fd < 0 || count < 0) return -1;
    const auto deadline = steady::now() + write_limit;
    const auto wait_for_room = [&] {
        for (;;) {
            const int ready = wait_for(fd, POLLOUT, as_timespec(deadline - steady::now()));
            if (ready >= 0 || errno != EINTR) return ready > 0;
        }
    };
    // Nothing to send: only the wait for a writable socket.
    if (count == 0) return wait_for_room() ? 0 : -1;

    // The first send is tried at once: a connected socket with room in its
    // send buffer needs no poll.  Whenever it cannot take the bytes, the
    // writer waits for room within what is left of the second.
    int written = 0;
    while (written < count) {
        const ssize_t sent =
            ::send(fd, bytes + written, static_cast<std::size_t>(count - written), MSG_NOSIGNAL);
        if (sent >= 0) {
            written += static_cast<int>(sent);
        } else if (errno == EAGAIN) {
            if (!wait_for_room()) return -1;  // no room within the second: not logged
        } else if (errno != EINTR) {
            log_msg(LOG_ERR, "clientwrite fail error %d", errno);
            return -1;
        }
    }
    return count;
}

}  // namespace kelvantor
