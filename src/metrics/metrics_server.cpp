// The metrics HTTP listener: our accepting thread, libmicrohttpd's serving
// thread, and the deadlines of the connections handed from one to the other.
#include "metrics/metrics_server.h"

#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "common/listening.h"
#include "common/log.h"
#include "common/quiet_thread.h"
#include "common/unique_fd.h"
#include "metrics/metrics.h"

namespace kelvantor {
namespace {

constexpr const char* exposition_type = "text/plain; version=0.0.4; charset=utf-8";
constexpr int listen_backlog = 64;

// A connection handed to libmicrohttpd.  own is a duplicate of its socket:
// shutting that down at the deadline reaches this socket even if the library
// has closed its own descriptor meanwhile and the number went to another file.
struct open_connection {
    int library_fd;
    unique_fd own;
    std::chrono::steady_clock::time_point deadline;
    bool started = false;  // the library has reported it
};

struct server_state {
    metrics_server_limits limits;
    unique_fd listener;
    unique_fd wake_read;
    unique_fd wake_write;
    MHD_Daemon* daemon = nullptr;
    std::thread thread;
    std::mutex mutex;                  // guards open
    std::deque<open_connection> open;  // in the order accepted, so by deadline
};
std::optional<server_state> running;

// libmicrohttpd's own complaints, a few a minute at most.
constexpr std::chrono::seconds library_window{60};
log_rate_limit library_messages{10, library_window};

void cut(open_connection& connection) noexcept {
    shutdown(connection.own.get(), SHUT_RDWR);
    connection.own.reset();
}

// The newest entry of that descriptor number not yet reported started: an
// older one is a connection the library dropped without a word, left to its
// deadline.  The caller holds the mutex.
std::deque<open_connection>::reverse_iterator newest_unstarted(server_state& state, int fd) {
    return std::find_if(state.open.rbegin(), state.open.rend(), [fd](const open_connection& entry) {
        return !entry.started && entry.library_fd == fd;
    });
}

// The library tells when a connection starts and when it ends, before it
// closes the descriptor; the entry is found by that descriptor's number.
void on_connection(void* closure, MHD_Connection* connection, void** /*socket_context*/,
                   MHD_ConnectionNotificationCode code) {
    auto& state = *static_cast<server_state*>(closure);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) return;
    const int fd = info->connect_fd;
    const std::lock_guard hold(state.mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const auto entry = newest_unstarted(state, fd);
        if (entry != state.open.rend()) entry->started = true;
        return;
    }
    std::erase_if(state.open, [fd](const open_connection& entry) {
        return entry.started && entry.library_fd == fd;
    });
}

__attribute__((format(printf, 2, 0))) void library_log(void* /*closure*/, const char* format,
                                                       va_list arguments) {
    unsigned long suppressed = 0;
    if (!library_messages.allow(suppressed)) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string message = printable_excerpt(text, 200);
    while (!message.empty() && message.back() == '?') message.pop_back();  // its line end
    if (suppressed > 0) {
        log_msg(LOG_WARNING, "metrics listener: %s (%lu more since the last report)",
                message.c_str(), suppressed);
    } else {
        log_msg(LOG_WARNING, "metrics listener: %s", message.c_str());
    }
}

MHD_Result answer(MHD_Connection* connection, unsigned int status, std::string body,
                  const char* content_type) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    // One request per connection: its deadline is then the request's.
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result on_request(void* /*closure*/, MHD_Connection* connection, const char* url,
                      const char* method, const char* /*version*/, const char* /*upload_data*/,
                      std::size_t* /*upload_data_size*/, void** /*request_state*/) {
    try {
        if (std::strcmp(url, "/metrics") != 0) {
            return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                          "text/plain");
        }
        return answer(connection, MHD_HTTP_OK, metrics_text(), exposition_type);
    } catch (...) {
        return MHD_NO;  // no memory: the connection is closed
    }
}

// ---- the accepting thread ------------------------------------------------------

// Until the oldest connection's deadline; without a bound when there is none.
std::chrono::milliseconds until_next_deadline(server_state& state) {
    const std::lock_guard hold(state.mutex);
    if (state.open.empty()) return std::chrono::milliseconds(-1);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        state.open.front().deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

void cut_expired(server_state& state) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard hold(state.mutex);
    while (!state.open.empty() && state.open.front().deadline <= now) {
        cut(state.open.front());
        state.open.pop_front();
    }
}

void hand_over(server_state& state, unique_fd client, const sockaddr_storage& peer,
               socklen_t length) {
    unique_fd own(fcntl(client.get(), F_DUPFD_CLOEXEC, 0));
    if (!own) return;  // no descriptor to hold its deadline by: not served
    {
        const std::lock_guard hold(state.mutex);
        if (state.open.size() >= state.limits.connections) {
            cut(state.open.front());
            state.open.pop_front();
        }
        state.open.push_back({client.get(), std::move(own),
                              std::chrono::steady_clock::now() + state.limits.deadline});
    }
    const int fd = client.release();
    if (MHD_add_connection(state.daemon, fd, reinterpret_cast<const sockaddr*>(&peer), length) ==
        MHD_YES) {
        return;
    }
    // The library has closed its descriptor: the entry goes with it.
    const std::lock_guard hold(state.mutex);
    const auto entry = newest_unstarted(state, fd);
    if (entry != state.open.rend()) state.open.erase(std::next(entry).base());
}

void accept_loop(server_state& state) {
    acceptor accepting(state.listener.get(), state.wake_read.get(), "metrics listener");
    for (;;) {
        unique_fd client;
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const accept_outcome outcome =
            accepting.next(until_next_deadline(state), client, &peer, &length);
        if (outcome == accept_outcome::stopped) return;
        cut_expired(state);
        if (outcome != accept_outcome::accepted) continue;
        try {
            hand_over(state, std::move(client), peer, length);
        } catch (const std::bad_alloc&) {
            // Not served; the connection is closed.
        }
    }
}

// ---- start and stop ------------------------------------------------------------

void describe(const sockaddr_storage& address, char (&text)[NI_MAXHOST + 8]) {
    char host[NI_MAXHOST] = "?";
    char port[8] = "?";
    const socklen_t length =
        address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, port,
                sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    std::snprintf(text, sizeof text, address.ss_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host,
                  port);
}

unique_fd bind_listener(const sockaddr_storage& address) {
    unique_fd fd(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return fd;
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.ss_family == AF_INET6) {
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    const socklen_t length =
        address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(fd.get(), listen_backlog) != 0) {
        fd.reset();
    }
    return fd;
}

bool start(server_state& state, const sockaddr_storage& address) {
    state.listener = bind_listener(address);
    int pipe_fds[2];
    if (!state.listener || pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    state.wake_read.reset(pipe_fds[0]);
    state.wake_write.reset(pipe_fds[1]);
    const unsigned idle_seconds = static_cast<unsigned>(std::max<long long>(
        1, std::chrono::ceil<std::chrono::seconds>(state.limits.deadline).count()));
    // The threads take no signal: SIGTERM and the like are libmilter's signal
    // thread's, and the default action would end the process instead.
    const signals_blocked quiet;
    state.daemon = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC | MHD_USE_ERROR_LOG,
        0, nullptr, nullptr, on_request, nullptr, MHD_OPTION_EXTERNAL_LOGGER, library_log, nullptr,
        MHD_OPTION_NOTIFY_CONNECTION, on_connection, &state, MHD_OPTION_CONNECTION_TIMEOUT,
        idle_seconds, MHD_OPTION_CONNECTION_LIMIT, 2 * state.limits.connections + 8,
        MHD_OPTION_END);
    if (state.daemon == nullptr) return false;
    try {
        state.thread = std::thread(accept_loop, std::ref(state));
    } catch (const std::system_error&) {
        MHD_stop_daemon(state.daemon);
        state.daemon = nullptr;
        return false;
    }
    return true;
}

}  // namespace

bool metrics_server_start(const sockaddr_storage& address, const metrics_server_limits& limits) {
    char where[NI_MAXHOST + 8];
    describe(address, where);
    bool started = false;
    try {
        running.emplace();
        running->limits = limits;
        if (running->limits.connections == 0) running->limits.connections = 1;
        started = start(*running, address);
    } catch (const std::bad_alloc&) {
        started = false;
    }
    if (!started) {
        running.reset();
        log_msg(LOG_ERR, "cannot listen for metrics on %s", where);
        return false;
    }
    log_msg(LOG_INFO, "metrics on http://%s/metrics", where);
    return true;
}

void metrics_server_stop() noexcept {
    if (!running) return;
    const char stop = 'x';
    [[maybe_unused]] const ssize_t written = write(running->wake_write.get(), &stop, 1);
    if (running->thread.joinable()) running->thread.join();
    MHD_stop_daemon(running->daemon);
    running.reset();
}

}  // namespace kelvantor
