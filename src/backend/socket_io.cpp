// Backend connection and socket I/O.  The backend socket is non-blocking for
// its whole life and every wait on it is a ppoll with an explicit limit, so
// descriptors of any number work.  A reply is read until the backend stays
// quiet for 100 us after its latest bytes, closes its end, or lets the first
// wait run out; it never grows beyond reply_cap.
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

#include "common/log.h"

namespace kelvantor {
namespace {

// Quiet time after the latest bytes that ends a reply.
constexpr timespec reply_gap{0, 100'000};
// Wait for writability before the first write.
constexpr timespec write_wait{1, 0};

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

int backend_open(int& slot, std::uint16_t port, std::chrono::milliseconds connect_timeout,
                 sockaddr_storage address) {
    const int family = address.ss_family;
    if (family != AF_INET && family != AF_INET6) {
        log_msg(LOG_ERR, "unspecified address family");
        return -3;
    }
    if (family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(port);
    } else {
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(port);
    }

    slot = ::socket(family, SOCK_STREAM, 0);
    if (slot < 0) {
        log_msg(LOG_ERR, "cannot create socket %s", std::strerror(errno));
        return -3;
    }
    const int flags = ::fcntl(slot, F_GETFL);
    if (flags < 0 || ::fcntl(slot, F_SETFL, flags | O_NONBLOCK) < 0) return -1;

    if (::connect(slot, reinterpret_cast<const sockaddr*>(&address), address_length(address)) !=
            0 &&
        errno != EINPROGRESS) {
        return -1;
    }
    // A connection that completed at once goes through the wait as well.
    return wait_connected(slot, connect_timeout);
}

int wait_connected(int fd, std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    const timespec limit{static_cast<time_t>(ms / 1000),
                         static_cast<long>((ms % 1000) * 1'000'000)};
    const int ready = wait_for(fd, POLLOUT, limit);  // an interrupted wait is not repeated
    if (ready < 0) return -1;
    if (ready == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return -1;
    if (pending != 0) {
        errno = pending;
        return -1;
    }
    return 0;
}

bool ends_with_final_reply_line(const char* bytes, std::size_t count) noexcept {
    if (count == 0 || bytes[count - 1] != '\n') return false;
    std::size_t start = count - 1;
    while (start > 0 && bytes[start - 1] != '\n') --start;
    const std::size_t length = count - 1 - start;  // without the LF
    const auto digit = [&](std::size_t i) {
        return bytes[start + i] >= '0' && bytes[start + i] <= '9';
    };
    if (length < 3 || !digit(0) || !digit(1) || !digit(2)) return false;
    return length == 3 || bytes[start + 3] == ' ' || bytes[start + 3] == '\r';
}

int read_reply(int fd, reply_buffer& buffer, std::chrono::seconds first_wait) {
    if (fd < 0 || !buffer.valid()) return -1;

    std::size_t count = 0;
    timespec limit{static_cast<time_t>(first_wait.count()), 0};
    for (;;) {
        const int ready = wait_for(fd, POLLIN, limit);
        if (ready == 0) return static_cast<int>(count);
        if (ready < 0) {
            if (errno == EINTR) return static_cast<int>(count);
            log_msg(LOG_ERR, "clientread fail error %d on fd %d", errno, fd);
            return -1;
        }

        // Readable again with the block full: grow it, or stop at the cap.
        if (count == std::min(buffer.size(), reply_cap)) {
            if (count == reply_cap) {
                char next = 0;
                if (::recv(fd, &next, 1, MSG_PEEK) > 0) {
                    log_msg(LOG_ERR, "backend reply too long on fd %d", fd);
                    return REPLY_TOO_LONG;
                }
                return static_cast<int>(count);  // closed exactly at the cap
            }
            if (!buffer.grow(std::min(reply_growth_step, reply_cap - buffer.size()))) {
                return static_cast<int>(count);
            }
        }

        const std::size_t room = std::min(buffer.size(), reply_cap) - count;
        const ssize_t received = ::recv(fd, buffer.data() + count, room, 0);
        if (received <= 0) return static_cast<int>(count);  // closed, or any error
        count += static_cast<std::size_t>(received);
        // A whole reply needs no wait for the gap: it saves 100 us and more
        // per command, which bounds the rate of cache misses.
        if (ends_with_final_reply_line(buffer.data(), count)) return static_cast<int>(count);
        limit = reply_gap;  // afresh for every further piece
    }
}

int write_all(int fd, const char* bytes, int count) {
    if (fd < 0 || count < 0) return -1;
    // The first send is tried at once: a connected socket with room in its
    // send buffer needs no poll.  Only when it cannot take the bytes (or there
    // are none) is the one writability wait of at most a second made.
    ssize_t sent =
        count > 0 ? ::send(fd, bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL) : -1;
    if (sent < 0 && (count == 0 || errno == EAGAIN || errno == EINTR)) {
        if (wait_for(fd, POLLOUT, write_wait) <= 0) return -1;
        sent = 0;
    }
    int written = 0;
    if (sent >= 0) {
        written = static_cast<int>(sent);
        while (written < count) {
            sent = ::send(fd, bytes + written, static_cast<std::size_t>(count - written),
                          MSG_NOSIGNAL);
            if (sent >= 0) {
                written += static_cast<int>(sent);
            } else if (errno != EAGAIN && errno != EINTR) {
                break;
            }
        }
    }
    if (written == count) return count;
    log_msg(LOG_ERR, "clientwrite fail error %d", errno);
    return -1;
}

}  // namespace kelvantor
