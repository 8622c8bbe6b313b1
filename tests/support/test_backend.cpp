// The scriptable test SMTP backend: an accepting thread and one thread per
// connection.  Every wait also watches a stop eventfd, so the destructor can
// end all threads promptly, also in the middle of a scripted pause.
#include "support/test_backend.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "common/unique_fd.h"

namespace kelvantor::testing {

struct test_backend::state {
    backend_script script;
    unique_fd listener;
    unique_fd stop;  // eventfd, readable once the backend stops
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::string> lines;
    int connections = 0;
    int finished = 0;

    struct connection {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<connection> running;  // touched by the accepting thread only, then by ~test_backend
    std::thread acceptor;
};

namespace {

using state = test_backend::state;

constexpr std::size_t max_line = 64 * 1024;

// Waits for the given time unless the backend stops first; false when stopped.
bool pause_for(const state& s, std::chrono::microseconds time) {
    if (time.count() <= 0) return true;
    pollfd entry{s.stop.get(), POLLIN, 0};
    const timespec limit{static_cast<time_t>(time.count() / 1'000'000),
                         static_cast<long>(time.count() % 1'000'000) * 1000};
    return ::ppoll(&entry, 1, &limit, nullptr) == 0;
}

bool send_all(const state& s, int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno != EAGAIN && errno != EINTR) return false;
        pollfd entries[2] = {{fd, POLLOUT, 0}, {s.stop.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 && errno != EINTR) return false;
        if (entries[1].revents != 0) return false;
    }
    return true;
}

bool send_reply(const state& s, int fd, const std::string& reply,
                std::chrono::microseconds extra_delay = {}) {
    if (reply.empty()) return true;
    if (!pause_for(s, s.script.reply_delay + extra_delay)) return false;
    const std::string_view all(reply);
    if (s.script.line_gap.count() > 0) {
        std::size_t start = 0;
        while (start < all.size()) {
            const std::size_t end = std::min(all.find('\n', start), all.size() - 1) + 1;
            if ((start > 0 && !pause_for(s, s.script.line_gap)) ||
                !send_all(s, fd, all.substr(start, end - start))) {
                return false;
            }
            start = end;
        }
        return true;
    }
    if (s.script.split_gap.count() > 0 && all.size() >= 2) {
        const std::size_t half = all.size() / 2;
        return send_all(s, fd, all.substr(0, half)) && pause_for(s, s.script.split_gap) &&
               send_all(s, fd, all.substr(half));
    }
    return send_all(s, fd, all);
}

std::string upper_verb(std::string_view line) {
    std::string verb(line.substr(0, 4));
    for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return verb;
}

// The text between the angle brackets of "RCPT TO:<...>", or the argument after the colon.
std::string rcpt_address(std::string_view line) {
    const std::size_t colon = line.find(':');
    std::string_view argument = colon == std::string_view::npos ? "" : line.substr(colon + 1);
    const std::size_t open = argument.find('<');
    if (open != std::string_view::npos) {
        const std::size_t close = argument.find('>', open + 1);
        if (close != std::string_view::npos)
            return std::string(argument.substr(open + 1, close - open - 1));
    }
    while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
    return std::string(argument);
}

enum class after { go_on, close };

after answer(const state& s, int fd, const std::string& line) {
    const backend_script& script = s.script;
    const std::string verb = upper_verb(line);
    bool sent = true;
    if (verb == "HELO" || verb == "EHLO") {
        sent = send_reply(s, fd, script.helo_reply);
    } else if (verb == "MAIL") {
        sent = send_reply(s, fd, script.mail_reply);
    } else if (verb == "RCPT") {
        const std::string reply =
            script.rcpt_reply ? script.rcpt_reply(rcpt_address(line)) : "250 2.1.5 Ok\r\n";
        sent = send_reply(s, fd, reply + script.after_rcpt_reply, script.rcpt_delay);
        if (script.close_after_rcpt) return after::close;
    } else if (verb == "RSET") {
        sent = send_reply(s, fd, script.rset_reply);
    } else if (verb == "QUIT") {
        send_reply(s, fd, script.quit_reply);
        return after::close;
    } else if (verb == "NOOP") {
        sent = send_reply(s, fd, script.noop_reply);
    } else {
        sent = send_reply(s, fd, script.other_reply);
    }
    return sent ? after::go_on : after::close;
}

void record(state& s, const std::string& line) {
    if (!s.script.record_lines) return;
    {
        std::lock_guard lock(s.mutex);
        s.lines.push_back(line);
    }
    s.changed.notify_all();
}

void serve(state& s, unique_fd connection) {
    const int fd = connection.get();
    if (!send_reply(s, fd, s.script.banner) || s.script.close_after_banner) return;

    std::string pending;
    char chunk[16 * 1024];
    for (;;) {
        pollfd entries[2] = {{fd, POLLIN, 0}, {s.stop.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (entries[1].revents != 0) return;
        const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
        if (received == 0) return;
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;
        }
        pending.append(chunk, static_cast<std::size_t>(received));

        std::size_t start = 0;
        for (std::size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n', start)) {
            std::string line = pending.substr(start, end - start);
            start = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            record(s, line);
            if (answer(s, fd, line) == after::close) return;
        }
        pending.erase(0, start);
        if (pending.size() > max_line) return;
    }
}

void run_connection(state& s, unique_fd connection, state::connection& self) {
    serve(s, std::move(connection));  // closes the connection on the way out
    {
        std::lock_guard lock(s.mutex);
        ++s.finished;
    }
    s.changed.notify_all();
    self.done.store(true);
}

void accept_loop(state& s) {
    for (;;) {
        pollfd entries[2] = {{s.listener.get(), POLLIN, 0}, {s.stop.get(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0 && errno != EINTR) return;
        if (entries[1].revents != 0) return;
        if ((entries[0].revents & POLLIN) == 0) continue;

        unique_fd connection(
            ::accept4(s.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection) {
            // Out of descriptors and the like: back off briefly instead of spinning.
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                pause_for(s, std::chrono::milliseconds(10));
            }
            continue;
        }
        const int one = 1;
        ::setsockopt(connection.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard lock(s.mutex);
            ++s.connections;
        }
        s.changed.notify_all();

        // Join the threads of connections that have ended, then start this one's.
        s.running.remove_if([](state::connection& c) {
            if (!c.done.load()) return false;
            c.thread.join();
            return true;
        });
        state::connection& entry = s.running.emplace_back();
        entry.thread =
            std::thread(run_connection, std::ref(s), std::move(connection), std::ref(entry));
    }
}

}  // namespace

sockaddr_storage loopback_address(std::uint16_t port) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return storage;
}

test_backend::test_backend(backend_script script) : state_(std::make_unique<state>()) {
    state& s = *state_;
    s.script = std::move(script);
    s.listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    s.stop.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!s.listener || !s.stop) throw std::runtime_error("test_backend: no socket");
    const int one = 1;
    ::setsockopt(s.listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_storage bind_to = loopback_address(s.script.port);
    if (::bind(s.listener.get(), reinterpret_cast<const sockaddr*>(&bind_to),
               sizeof(sockaddr_in)) != 0 ||
        ::listen(s.listener.get(), 1024) != 0) {
        throw std::runtime_error(std::string("test_backend: cannot listen: ") +
                                 std::strerror(errno));
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(s.listener.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    s.port = ntohs(bound.sin_port);
    s.acceptor = std::thread(accept_loop, std::ref(s));
}

test_backend::~test_backend() {
    state& s = *state_;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(s.stop.get(), &one, sizeof one);
    s.acceptor.join();
    for (auto& c : s.running) c.thread.join();
}

std::uint16_t test_backend::port() const {
    return state_->port;
}

sockaddr_storage test_backend::address() const {
    return loopback_address(state_->port);
}

std::vector<std::string> test_backend::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

bool test_backend::wait_for_lines(std::size_t n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, bound, [&] { return state_->lines.size() >= n; });
}

int test_backend::connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

bool test_backend::wait_for_connections(int n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, bound, [&] { return state_->connections >= n; });
}

int test_backend::finished_connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

bool test_backend::wait_for_finished(int n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, bound, [&] { return state_->finished >= n; });
}

}  // namespace kelvantor::testing
