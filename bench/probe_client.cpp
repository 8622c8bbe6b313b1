// kv-bench-probe: the cache-miss limit.  It runs the filter's own backend
// conversation straight against an SMTP server, without any milter: per
// transaction one connection, banner, HELO, MAIL FROM, M x RCPT TO, RSET and
// QUIT, from C threads at once, bounded by count and time.  With a cached
// share, those recipients skip the backend (the backend part of a mixed load).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace {

using namespace kelvantor::bench;

constexpr const char* usage =
    "usage: kv-bench-probe --port N [--host 127.0.0.1] [--concurrency C] [--rcpts M]\n"
    "                      [--transactions N] [--seconds S] [address options]\n";

struct settings {
    std::string host;
    std::uint16_t port;
    unsigned concurrency;
    unsigned rcpts;
    address_plan plan;
};

// One SMTP client connection with blocking I/O and a 5 s limit on every wait.
class smtp_line {
public:
    ~smtp_line() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool open(const settings& s, std::string& error) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return fail(error, "socket");
        const timeval limit{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(s.port);
        if (::inet_pton(AF_INET, s.host.c_str(), &address.sin_addr) != 1) {
            error = "bad host " + s.host;
            return false;
        }
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return fail(error, "connect");
        }
        return true;
    }
    bool send(const std::string& line, std::string& error) {
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return fail(error, "send");
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads one whole reply (through its last line, "ddd text") and returns its code, or -1.
    int reply(std::string& error) {
        for (;;) {
            std::size_t end;
            while ((end = buffer_.find('\n', pos_)) != std::string::npos) {
                const std::string_view line(buffer_.data() + pos_, end - pos_);
                pos_ = end + 1;
                if (line.size() >= 3 && (line.size() == 3 || line[3] != '-')) {
                    const int code = static_cast<int>(
                        std::strtol(std::string(line.substr(0, 3)).c_str(), nullptr, 10));
                    compact();
                    return code;
                }
            }
            compact();
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                fail(error, n == 0 ? "closed by server" : "recv");
                return -1;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    bool fail(std::string& error, const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        return false;
    }
    void compact() {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    int fd_ = -1;
    std::string buffer_;
    std::size_t pos_ = 0;
};

outcome judge(int code) {
    if (code == 250) return outcome::accepted;
    if (code == 550 || code == 553) return outcome::rejected;
    if (code >= 400 && code < 500) return outcome::deferred;
    return code < 0 ? outcome::failed : outcome::other;
}

// Opens the conversation: connection, banner, HELO and MAIL FROM.
bool greet(const settings& s, smtp_line& line, std::string& error, std::string& stage) {
    stage = "open";
    if (!line.open(s, error)) return false;
    stage = "banner";
    if (line.reply(error) != 220) return false;
    stage = "helo";
    if (!line.send("HELO bench.client\r\n", error) || line.reply(error) < 0) return false;
    stage = "mail";
    return line.send("MAIL FROM:<postmaster+backscatter@bench.client>\r\n", error) &&
           line.reply(error) >= 0;
}

// One transaction.  Recipients drawn as cached are answered without the
// backend, as a perfect cache would; the conversation is opened at the first
// other one, as the filter opens it at its first cache miss.
bool transaction(const settings& s, address_source& source, worker_log& log) {
    std::string error;
    std::string stage;
    smtp_line line;
    bool open = false;
    auto give_up = [&](const std::string& what) {
        ++log.counts[static_cast<int>(outcome::failed)];
        if (log.first_error.empty()) log.first_error = what + ": " + error;
        return false;
    };
    std::string command;
    for (unsigned i = 0; i < s.rcpts; ++i) {
        address_kind kind;
        const std::string& address = source.next(&kind);
        if (kind == address_kind::cached) {
            ++log.skipped;
            continue;
        }
        if (!open && !greet(s, line, error, stage)) return give_up(stage);
        open = true;
        command = "RCPT TO:<";
        command += address;
        command += ">\r\n";
        const auto sent = bench_clock::now();
        if (!line.send(command, error)) return give_up("rcpt");
        const int code = line.reply(error);
        if (code < 0) return give_up("rcpt reply");
        log.record(judge(code), bench_clock::now() - sent);
    }
    if (open) {
        if (!line.send("RSET\r\n", error) || line.reply(error) < 0) return give_up("rset");
        if (!line.send("QUIT\r\n", error) || line.reply(error) < 0) return give_up("quit");
    }
    ++log.transactions;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const options opts(argc, argv);
    std::vector<std::string> known = {"port",  "host",         "concurrency",
                                      "rcpts", "transactions", "seconds"};
    const auto plan_names = plan_option_names();
    known.insert(known.end(), plan_names.begin(), plan_names.end());
    if (!opts.check(known) || opts.count("port", 0) == 0) {
        std::fputs(usage, stderr);
        return 64;
    }
    settings s{opts.text("host", "127.0.0.1"), static_cast<std::uint16_t>(opts.count("port", 0)),
               static_cast<unsigned>(std::max<std::uint64_t>(1, opts.count("concurrency", 1))),
               static_cast<unsigned>(std::max<std::uint64_t>(1, opts.count("rcpts", 10))),
               plan_from(opts)};
    run_gate gate(opts.count("transactions", 1000), opts.number("seconds", 10));

    std::vector<worker_log> logs(s.concurrency);
    std::vector<std::thread> workers;
    std::latch ready(s.concurrency + 1);
    for (unsigned w = 0; w < s.concurrency; ++w) {
        workers.emplace_back([&, w] {
            address_source source(s.plan, w);
            logs[w].latency_ns.reserve(4096);
            ready.arrive_and_wait();
            while (gate.take()) {
                if (!transaction(s, source, logs[w])) break;
            }
        });
    }
    gate.start();
    ready.arrive_and_wait();
    for (auto& worker : workers) worker.join();
    return report("probe", logs, gate.elapsed(), gate.timed_out());
}
