// kv-bench-backend: a fast scriptable SMTP backend for load runs: N threads,
// each with its own epoll loop and SO_REUSEPORT listener on 127.0.0.1.  RCPT
// replies depend on the local part: "unknown..." gets 550 5.1.1, "tempfail..."
// 451, anything else 250.  It stops on SIGTERM or SIGINT, or by itself after
// --lifetime seconds, and prints its counts at exit (and on SIGUSR1).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench_common.h"

namespace {

using kelvantor::bench::options;

constexpr const char* usage =
    "usage: kv-bench-backend [--port N] [--threads N] [--lifetime SECONDS] [--name NAME]\n"
    "  port 0 (the default) lets the system choose; the first line printed is \"port N\".\n";

struct connection {
    int fd;
    std::string in;
    std::string out;
    bool closing = false;
    bool watching_out = false;  // EPOLLOUT requested
};

// One thread's counts; the main thread reads them while the thread runs.
struct counters {
    std::atomic<unsigned long long> connections{0}, rcpts{0}, unknown{0}, tempfail{0};
};

void bump(std::atomic<unsigned long long>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

bool starts_with_nocase(std::string_view line, std::string_view word) {
    if (line.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = line[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i]) return false;
    }
    return true;
}

// The local part of "RCPT TO:<local@domain>" (or of the bare argument).
std::string_view local_part(std::string_view line) {
    std::string_view arg = line.substr(std::min<std::size_t>(8, line.size()));
    if (const auto open = arg.find('<'); open != std::string_view::npos)
        arg.remove_prefix(open + 1);
    if (const auto close = arg.find('>'); close != std::string_view::npos)
        arg = arg.substr(0, close);
    if (const auto at = arg.rfind('@'); at != std::string_view::npos) arg = arg.substr(0, at);
    return arg;
}

void answer(connection& c, std::string_view line, const std::string& name, counters& n) {
    if (starts_with_nocase(line, "RCPT")) {
        bump(n.rcpts);
        const std::string_view local = local_part(line);
        if (local.starts_with("unknown")) {
            bump(n.unknown);
            c.out += "550 5.1.1 Recipient address rejected: User unknown\r\n";
        } else if (local.starts_with("tempfail")) {
            bump(n.tempfail);
            c.out += "451 4.3.0 Try again later\r\n";
        } else {
            c.out += "250 2.1.5 Ok\r\n";
        }
    } else if (starts_with_nocase(line, "MAIL")) {
        c.out += "250 2.1.0 Ok\r\n";
    } else if (starts_with_nocase(line, "HELO") || starts_with_nocase(line, "EHLO")) {
        c.out += "250 " + name + "\r\n";
    } else if (starts_with_nocase(line, "RSET") || starts_with_nocase(line, "NOOP")) {
        c.out += "250 2.0.0 Ok\r\n";
    } else if (starts_with_nocase(line, "QUIT")) {
        c.out += "221 2.0.0 Bye\r\n";
        c.closing = true;
    } else {
        c.out += "502 5.5.2 Error: command not recognized\r\n";
    }
}

// Sends what is pending; false when the connection is to be dropped.
bool flush(connection& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    return !c.closing;
}

// A listener on 127.0.0.1:port that shares the port with the other threads'.
int listen_on(std::uint16_t port, std::uint16_t& bound) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4096) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    bound = ntohs(address.sin_port);
    return fd;
}

// One thread's loop: accepts from its listener and serves its connections.
void serve(int listener, const std::string& name, const std::atomic<bool>& stop, counters& n) {
    const std::string banner = "220 " + name + " ESMTP\r\n";
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);

    std::unordered_map<int, std::unique_ptr<connection>> open;
    auto drop = [&](int fd) {
        epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        open.erase(fd);
    };
    epoll_event ready[256];
    while (!stop.load(std::memory_order_relaxed)) {
        const int count = epoll_wait(poller, ready, 256, 200);
        if (count < 0 && errno != EINTR) break;
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                for (;;) {
                    const int client =
                        ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0) break;
                    bump(n.connections);
                    auto c = std::make_unique<connection>();
                    c->fd = client;
                    c->out = banner;
                    epoll_event e{};
                    e.events = EPOLLIN | EPOLLRDHUP;
                    e.data.fd = client;
                    epoll_ctl(poller, EPOLL_CTL_ADD, client, &e);
                    const bool keep = flush(*c);
                    open.emplace(client, std::move(c));
                    if (!keep) drop(client);
                }
                continue;
            }
            const auto found = open.find(fd);
            if (found == open.end()) continue;
            connection& c = *found->second;
            bool keep = true;
            if ((ready[i].events & EPOLLIN) != 0) {
                char chunk[8192];
                const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
                if (got <= 0 && !(got < 0 && (errno == EAGAIN || errno == EINTR))) {
                    keep = false;
                } else if (got > 0) {
                    c.in.append(chunk, static_cast<std::size_t>(got));
                    std::size_t start = 0, eol;
                    while (!c.closing && (eol = c.in.find('\n', start)) != std::string::npos) {
                        std::string_view line(c.in.data() + start, eol - start);
                        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                        answer(c, line, name, n);
                        start = eol + 1;
                    }
                    c.in.erase(0, start);
                    if (c.in.size() > 65536) keep = false;
                }
            }
            if ((ready[i].events & (EPOLLHUP | EPOLLERR)) != 0) keep = false;
            if (keep) {
                keep = flush(c);
                if (c.watching_out != !c.out.empty()) {
                    c.watching_out = !c.out.empty();
                    epoll_event e{};
                    e.events = EPOLLIN | EPOLLRDHUP | (c.watching_out ? EPOLLOUT : 0u);
                    e.data.fd = fd;
                    epoll_ctl(poller, EPOLL_CTL_MOD, fd, &e);
                }
            } else if (!c.out.empty()) {
                flush(c);
            }
            if (!keep || ((ready[i].events & EPOLLRDHUP) != 0 && c.in.empty())) drop(fd);
        }
    }
    for (auto& [fd, c] : open) ::close(fd);
    ::close(poller);
    ::close(listener);
}

}  // namespace

int main(int argc, char** argv) {
    const options opts(argc, argv);
    if (!opts.check({"port", "threads", "lifetime", "name"})) {
        std::fputs(usage, stderr);
        return 64;
    }
    const auto threads =
        static_cast<unsigned>(std::max<std::uint64_t>(1, opts.count("threads", 2)));
    const double lifetime = opts.number("lifetime", 3600);
    const std::string name = opts.text("name", "kv-bench-backend");

    // Only the main thread takes the signals.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGUSR1);  // not a stop: print the counts so far
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::uint16_t port = static_cast<std::uint16_t>(opts.count("port", 0));
    std::vector<int> listeners;
    for (unsigned t = 0; t < threads; ++t) {
        std::uint16_t bound = 0;
        const int fd = listen_on(port, bound);
        if (fd < 0) {
            std::fprintf(stderr, "kv-bench-backend: cannot listen: %s\n", std::strerror(errno));
            return 71;
        }
        port = bound;
        listeners.push_back(fd);
    }
    std::printf("port %u\n", static_cast<unsigned>(port));
    std::fflush(stdout);

    std::atomic<bool> stop{false};
    std::vector<counters> counts(threads);
    auto print_counts = [&counts](const char* what, std::FILE* to) {
        unsigned long long connections = 0, rcpts = 0, unknown = 0, tempfail = 0;
        for (const auto& c : counts) {
            connections += c.connections.load(std::memory_order_relaxed);
            rcpts += c.rcpts.load(std::memory_order_relaxed);
            unknown += c.unknown.load(std::memory_order_relaxed);
            tempfail += c.tempfail.load(std::memory_order_relaxed);
        }
        std::fprintf(to, "%s connections=%llu rcpts=%llu unknown=%llu tempfail=%llu\n", what,
                     connections, rcpts, unknown, tempfail);
        std::fflush(to);
    };
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back(serve, listeners[t], std::cref(name), std::cref(stop),
                             std::ref(counts[t]));
    }
    // Waits for a stop signal or the end of the lifetime; other wake-ups
    // (EINTR after a stop and continue, for instance) are waited out.
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               std::chrono::duration<double>(lifetime));
    for (;;) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0)) break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec limit{static_cast<time_t>(ns / 1'000'000'000),
                             static_cast<long>(ns % 1'000'000'000)};
        const int got = sigtimedwait(&stop_signals, nullptr, &limit);
        if (got == SIGUSR1) {
            print_counts("counts", stdout);
            continue;
        }
        if (got > 0) {
            std::fprintf(stderr, "kv-bench-backend: stopped by signal %d\n", got);
            break;
        }
        if (got < 0 && errno != EINTR) break;  // EAGAIN: the lifetime is over
    }
    stop.store(true);
    for (auto& worker : workers) worker.join();

    print_counts("kv-bench-backend:", stderr);
    return 0;
}
