// kelvantorctl: sends one request to kelvantor's control socket and prints
// the answer.  Exit statuses: 0 done, 1 nothing found (lookup "none") or an
// error answer, 2 a usage error, 69 the filter cannot be reached or gave no
// whole answer in time.  The time (-t, default 30 s) bounds the whole
// exchange: a connection that waits in a full backlog, or one the filter
// never accepts or answers, ends at it too.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr const char* default_socket = "/run/kelvantor/control.sock";
constexpr int exit_done = 0;
constexpr int exit_not_found = 1;
constexpr int exit_usage = 2;
constexpr int exit_unreachable = 69;
constexpr long default_wait_seconds = 30;  // a save of a big cache takes a while
constexpr long longest_wait_seconds = 86400;

int usage() {
    std::fputs(
        "usage: kelvantorctl [-s socket] [-t seconds] command [argument]\n"
        "commands: lookup ADDRESS | purge ADDRESS | purge-domain DOMAIN | purge-invalid |\n"
        "          save | stats | metrics | backends\n",
        stderr);
    return exit_usage;
}

int unreachable(const char* path, const char* what) {
    std::fprintf(stderr, "kelvantorctl: %s %s: %s\n", what, path, std::strerror(errno));
    return exit_unreachable;
}

struct deadline {
    std::chrono::steady_clock::time_point at;
    long seconds;

    // What is left, at least 1 ms (a zero socket timeout would mean none).
    std::chrono::milliseconds left() const {
        const auto rest =
            std::chrono::ceil<std::chrono::milliseconds>(at - std::chrono::steady_clock::now());
        return std::max(rest, std::chrono::milliseconds(1));
    }
    bool passed() const { return std::chrono::steady_clock::now() >= at; }
};

int timed_out(const char* path, const deadline& bound) {
    std::fprintf(stderr, "kelvantorctl: timed out after %ld s waiting for %s\n", bound.seconds,
                 path);
    return exit_unreachable;
}

// Waits for the socket within the deadline; false when it passed (errno ETIMEDOUT).
bool wait_ready(int fd, short events, const deadline& bound) {
    for (;;) {
        if (bound.passed()) break;
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(bound.left().count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
    errno = ETIMEDOUT;
    return false;
}

// A blocking connect bounded by SO_SNDTIMEO: a unix socket's connect waits
// while the listener's backlog is full, and ends with EAGAIN at the timeout.
bool connect_within(int fd, const sockaddr_un& address, const deadline& bound) {
    const auto left = bound.left();
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(left.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000 * 1000);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return false;
    while (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EAGAIN || errno == EINPROGRESS || errno == ETIMEDOUT) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = default_socket;
    long wait_seconds = default_wait_seconds;
    int option;
    while ((option = getopt(argc, argv, "+s:t:h")) != -1) {
        if (option == 's') {
            path = optarg;
        } else if (option == 't') {
            char* end = nullptr;
            errno = 0;
            wait_seconds = std::strtol(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || wait_seconds < 1 ||
                wait_seconds > longest_wait_seconds) {
                return usage();
            }
        } else {
            return usage();
        }
    }
    if (optind >= argc) return usage();
    const std::string_view command = argv[optind];
    const int arguments = argc - optind - 1;
    const bool wants_argument =
        command == "lookup" || command == "purge" || command == "purge-domain";
    const bool takes_none = command == "purge-invalid" || command == "save" || command == "stats" ||
                            command == "metrics" || command == "backends";
    if ((!wants_argument && !takes_none) || (wants_argument && arguments != 1) ||
        (takes_none && arguments != 0)) {
        return usage();
    }
    std::string request(command);
    if (wants_argument) {
        const std::string_view argument = argv[optind + 1];
        if (argument.empty() || argument.find_first_of("\r\n ") != std::string_view::npos) {
            return usage();
        }
        request += ' ';
        request += argument;
    }
    request += '\n';

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        std::fprintf(stderr, "kelvantorctl: socket path too long: %s\n", path);
        return exit_usage;
    }
    std::strcpy(address.sun_path, path);
    const deadline bound{std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds),
                         wait_seconds};
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return unreachable(path, "cannot create a socket for");
    if (!connect_within(fd, address, bound)) {
        if (errno == ETIMEDOUT) return timed_out(path, bound);
        return unreachable(path, "cannot connect to");
    }
    std::string_view left = request;
    while (!left.empty()) {
        if (!wait_ready(fd, POLLOUT, bound)) {
            if (errno == ETIMEDOUT) return timed_out(path, bound);
            return unreachable(path, "cannot send to");
        }
        const ssize_t sent = send(fd, left.data(), left.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (sent <= 0) return unreachable(path, "cannot send to");
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        if (!wait_ready(fd, POLLIN, bound)) {
            if (errno == ETIMEDOUT) return timed_out(path, bound);
            return unreachable(path, "no answer from");
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return unreachable(path, "cannot read from");
        if (got == 0) break;
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    if (answer.empty()) {
        errno = ECONNRESET;
        return unreachable(path, "no answer from");
    }
    if (answer.rfind("error", 0) == 0) {
        std::fprintf(stderr, "kelvantorctl: %s", answer.c_str());
        return exit_not_found;
    }
    std::fputs(answer.c_str(), stdout);
    return answer == "none\n" ? exit_not_found : exit_done;
}
