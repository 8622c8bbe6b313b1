// The scriptable SMTP backend: script.threads event loops, each with its own
// listener on the shared port (SO_REUSEPORT when there are several), epoll
// and a timerfd for scripted pauses.  A reply is queued as timed pieces;
// every connection sends its pieces in order, each not before its time, so a
// pause never holds up other connections.  A stop eventfd ends every loop.
#include "support/test_backend.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "common/unique_fd.h"

namespace kelvantor::testing {

using backend_clock = std::chrono::steady_clock;

struct test_backend::state {
    backend_script script;
    unique_fd stop;  // eventfd, readable once the backend stops
    std::uint16_t port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::string> lines;
    int connections = 0;
    int finished = 0;
    std::atomic<std::uint64_t> rcpts{0};

    std::vector<unique_fd> listeners;  // one per loop
    std::vector<std::thread> loops;
};

namespace {

using state = test_backend::state;

constexpr std::size_t max_line = 64 * 1024;
constexpr std::uint64_t listener_key = 0, timer_key = 1, stop_key = 2, first_connection = 3;

// Bytes to send not before a time; close: end the connection once sent.
struct piece {
    backend_clock::time_point due;
    std::string bytes;
    bool close = false;
};

struct connection {
    unique_fd fd;
    std::string in;
    std::deque<piece> out;
    backend_clock::time_point last_due{};  // when the last queued piece goes out
    bool ending = false;                   // a closing piece is queued: ignore further input
    bool peer_closed = false;
    std::uint32_t events = 0;  // epoll interest
};

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

class event_loop {
public:
    event_loop(state& s, int listener) : s_(s), listener_(listener) {}
    void run();

private:
    void watch(std::uint64_t key, int fd, std::uint32_t events, int op = EPOLL_CTL_ADD);
    void accept_all();
    void receive(std::uint64_t key, connection& c);
    void answer(connection& c, const std::string& line);
    void queue(connection& c, const std::string& reply, std::chrono::microseconds extra,
               bool close_after);
    void pump(std::uint64_t key);  // sends what is due; may drop the connection
    void set_interest(std::uint64_t key, connection& c, std::uint32_t events);
    void drop(std::uint64_t key);
    void arm_timer();
    void record(const std::string& line);

    state& s_;
    int listener_;
    unique_fd poller_;
    unique_fd timer_;
    std::unordered_map<std::uint64_t, connection> open_;
    std::set<std::pair<backend_clock::time_point, std::uint64_t>> timers_;
    backend_clock::time_point armed_{};
    std::uint64_t next_key_ = first_connection;
};

void event_loop::watch(std::uint64_t key, int fd, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    ::epoll_ctl(poller_.get(), op, fd, &event);
}

void event_loop::run() {
    poller_.reset(::epoll_create1(EPOLL_CLOEXEC));
    timer_.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    watch(listener_key, listener_, EPOLLIN);
    watch(timer_key, timer_.get(), EPOLLIN);
    watch(stop_key, s_.stop.get(), EPOLLIN);
    epoll_event ready[256];
    for (;;) {
        const int count = ::epoll_wait(poller_.get(), ready, 256, -1);
        if (count < 0 && errno != EINTR) return;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t key = ready[i].data.u64;
            if (key == stop_key) return;
            if (key == listener_key) {
                accept_all();
            } else if (key == timer_key) {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t ignored =
                    ::read(timer_.get(), &expirations, sizeof expirations);
                armed_ = {};
                const auto now = backend_clock::now();
                while (!timers_.empty() && timers_.begin()->first <= now) {
                    const std::uint64_t due_key = timers_.begin()->second;
                    timers_.erase(timers_.begin());
                    pump(due_key);
                }
            } else if (const auto found = open_.find(key); found != open_.end()) {
                if ((ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                    receive(key, found->second);
                } else {
                    pump(key);
                }
            }
        }
        arm_timer();
    }
}

void event_loop::accept_all() {
    for (;;) {
        unique_fd fd(::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) return;  // EAGAIN, or out of descriptors: the next event retries
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard lock(s_.mutex);
            ++s_.connections;
        }
        s_.changed.notify_all();
        const std::uint64_t key = next_key_++;
        connection& c = open_[key];
        c.fd = std::move(fd);
        c.events = EPOLLIN;
        watch(key, c.fd.get(), c.events);
        queue(c, s_.script.banner, {}, s_.script.close_after_banner);
        pump(key);
    }
}

void event_loop::receive(std::uint64_t key, connection& c) {
    if (c.peer_closed) {  // a hang-up or error after the end of input
        drop(key);
        return;
    }
    char chunk[16 * 1024];
    const ssize_t got = ::recv(c.fd.get(), chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
        // Peer gone: what is queued still goes out (as far as it can), then the end.
        c.peer_closed = true;
        set_interest(key, c, c.events & ~EPOLLIN);
        pump(key);
        return;
    }
    c.in.append(chunk, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end = c.in.find('\n'); end != std::string::npos && !c.ending;
         end = c.in.find('\n', start)) {
        std::string line = c.in.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        record(line);
        answer(c, line);
    }
    c.in.erase(0, start);
    if (c.ending) {
        c.in.clear();
        set_interest(key, c, c.events & ~EPOLLIN);
    } else if (c.in.size() > max_line) {
        drop(key);
        return;
    }
    pump(key);
}

void event_loop::answer(connection& c, const std::string& line) {
    const backend_script& script = s_.script;
    const std::string verb = upper_verb(line);
    if (verb == "HELO" || verb == "EHLO") {
        queue(c, script.helo_reply, script.helo_delay, false);
    } else if (verb == "MAIL") {
        queue(c, script.mail_reply, {}, false);
    } else if (verb == "RCPT") {
        s_.rcpts.fetch_add(1, std::memory_order_relaxed);
        const std::string reply =
            script.rcpt_reply ? script.rcpt_reply(rcpt_address(line)) : "250 2.1.5 Ok\r\n";
        queue(c, reply.empty() ? reply : reply + script.after_rcpt_reply, script.rcpt_delay,
              script.close_after_rcpt);
    } else if (verb == "RSET") {
        queue(c, script.rset_reply, {}, false);
    } else if (verb == "QUIT") {
        queue(c, script.quit_reply, {}, script.close_after_quit);
    } else if (verb == "NOOP") {
        queue(c, script.noop_reply, {}, false);
    } else {
        queue(c, script.other_reply, {}, false);
    }
}

// A non-empty reply waits reply_delay (plus extra) after the previous one
// went out; with split_gap it goes in two pieces that far apart, with
// line_gap a line at a time, the lines that far apart.
void event_loop::queue(connection& c, const std::string& reply, std::chrono::microseconds extra,
                       bool close_after) {
    const backend_script& script = s_.script;
    auto due = std::max(backend_clock::now(), c.last_due);
    if (!reply.empty()) {
        due += script.reply_delay + extra;
        if (script.line_gap.count() > 0) {
            for (std::size_t start = 0; start < reply.size();) {
                const std::size_t end = std::min(reply.find('\n', start), reply.size() - 1) + 1;
                if (start > 0) due += script.line_gap;
                c.out.push_back({due, reply.substr(start, end - start)});
                start = end;
            }
        } else if (script.split_gap.count() > 0 && reply.size() >= 2) {
            const std::size_t half = reply.size() / 2;
            c.out.push_back({due, reply.substr(0, half)});
            due += script.split_gap;
            c.out.push_back({due, reply.substr(half)});
        } else {
            c.out.push_back({due, reply});
        }
    }
    if (close_after) {
        c.out.push_back({due, "", true});
        c.ending = true;
    }
    c.last_due = due;
}

void event_loop::pump(std::uint64_t key) {
    const auto found = open_.find(key);
    if (found == open_.end()) return;
    connection& c = found->second;
    while (!c.out.empty()) {
        piece& head = c.out.front();
        if (head.due > backend_clock::now()) {
            timers_.emplace(head.due, key);
            break;
        }
        while (!head.bytes.empty()) {
            const ssize_t sent =
                ::send(c.fd.get(), head.bytes.data(), head.bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && errno == EAGAIN) {
                set_interest(key, c, c.events | EPOLLOUT);
                return;
            }
            if (sent < 0) {
                drop(key);
                return;
            }
            head.bytes.erase(0, static_cast<std::size_t>(sent));
        }
        if (head.close) {
            drop(key);
            return;
        }
        c.out.pop_front();
    }
    if (c.peer_closed && c.out.empty()) {
        drop(key);
        return;
    }
    set_interest(key, c, c.events & ~EPOLLOUT);
}

void event_loop::set_interest(std::uint64_t key, connection& c, std::uint32_t events) {
    if (events == c.events) return;
    c.events = events;
    watch(key, c.fd.get(), events, EPOLL_CTL_MOD);
}

void event_loop::drop(std::uint64_t key) {
    open_.erase(key);  // closing the descriptor also takes it out of the epoll set
    {
        std::lock_guard lock(s_.mutex);
        ++s_.finished;
    }
    s_.changed.notify_all();
}

void event_loop::arm_timer() {
    if (timers_.empty() || timers_.begin()->first == armed_) return;
    armed_ = timers_.begin()->first;
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(armed_.time_since_epoch()).count();
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) when.it_value.tv_nsec = 1;
    ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr);
}

void event_loop::record(const std::string& line) {
    if (!s_.script.record_lines) return;
    {
        std::lock_guard lock(s_.mutex);
        s_.lines.push_back(line);
    }
    s_.changed.notify_all();
}

// A listener on 127.0.0.1:port (0: any); shared is set with several loops.
unique_fd listen_on(std::uint16_t port, bool shared, std::uint16_t& bound) {
    unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (shared) ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_storage address = loopback_address(port);
    socklen_t length = sizeof(sockaddr_in);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd.get(), 4096) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return unique_fd();
    }
    bound = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    return fd;
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
    s.stop.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    const unsigned loops = std::max(1u, s.script.threads);
    std::uint16_t port = s.script.port;
    for (unsigned i = 0; i < loops; ++i) {
        unique_fd listener = listen_on(port, loops > 1, port);
        if (!listener || !s.stop) {
            throw std::runtime_error(std::string("test_backend: cannot listen: ") +
                                     std::strerror(errno));
        }
        s.listeners.push_back(std::move(listener));
    }
    s.port = port;
    for (const unique_fd& listener : s.listeners) {
        s.loops.emplace_back([&s, fd = listener.get()] { event_loop(s, fd).run(); });
    }
}

test_backend::~test_backend() {
    state& s = *state_;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(s.stop.get(), &one, sizeof one);
    for (auto& loop : s.loops) loop.join();
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

std::uint64_t test_backend::rcpts() const {
    return state_->rcpts.load(std::memory_order_relaxed);
}

}  // namespace kelvantor::testing
