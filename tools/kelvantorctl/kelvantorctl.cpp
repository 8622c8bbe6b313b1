// kelvantorctl: sends one request to kelvantor's control socket and prints
// the answer.  Exit statuses: 0 done, 1 nothing found (lookup "none") or an
// error answer, 2 a usage error, 69 the filter cannot be reached or gave no
// whole answer in time.  The time (-t, default 30 s) bounds the whole
// exchange: a connection that waits in a full backlog, or one the filter
// never accepts or answers, ends at it too.  "dump" prints the verdict lines
// on standard output and the filter's closing "dumped N" on standard error;
// "import FILE" sends the file's lines after the request line.
#include <fcntl.h>
#include <getopt.h>
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

#include "common/unique_fd.h"
#include "startup/startup.h"

namespace {

constexpr const char* default_socket = "/run/kelvantor/control.sock";
constexpr int exit_done = 0;
constexpr int exit_not_found = 1;
constexpr int exit_usage = 2;
constexpr int exit_unreachable = 69;
constexpr long default_wait_seconds = 30;  // a save of a big cache takes a while
constexpr long longest_wait_seconds = 86400;

constexpr const char* usage_text =
    "usage: kelvantorctl [-s socket] [-t seconds] command [argument]\n"
    "       kelvantorctl --help | --version\n"
    "commands: lookup ADDRESS | purge ADDRESS | purge-domain DOMAIN | purge-invalid |\n"
    "          save | stats | metrics | backends | catch-all | reload | dump [valid|invalid] |\n"
    "          import FILE\n";

int usage() {
    std::fputs(usage_text, stderr);
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

// Where the lines of the answer go as they arrive: an error answer to
// standard error, a dump's closing "dumped N" too, the rest to standard output.
struct answer_printer {
    explicit answer_printer(bool of_dump) : dump(of_dump) {}

    bool dump;
    bool error = false;
    bool done = false;  // a dump's closing line was seen
    std::size_t lines = 0;
    bool none = false;  // the first line was "none"
    std::string pending;

    void line(std::string_view text) {
        if (lines == 0) {
            error = text.rfind("error", 0) == 0;
            none = text == "none\n";
            if (error) std::fputs("kelvantorctl: ", stderr);
        }
        ++lines;
        const bool closing = dump && !error && text.rfind("dumped ", 0) == 0;
        if (closing) done = true;
        std::fwrite(text.data(), 1, text.size(), error || closing ? stderr : stdout);
    }
    void take(std::string_view bytes) {
        pending.append(bytes);
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            line(std::string_view(pending).substr(start, end + 1 - start));
        }
        pending.erase(0, start);
    }
    void finish() {
        if (!pending.empty()) line(pending);
        pending.clear();
    }
};

// Sends the bytes within the deadline; false (errno set) when they did not all leave.
bool send_within(int fd, std::string_view left, const deadline& bound) {
    while (!left.empty()) {
        if (!wait_ready(fd, POLLOUT, bound)) return false;
        const ssize_t sent = send(fd, left.data(), left.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (sent <= 0) return false;
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = default_socket;
    long wait_seconds = default_wait_seconds;
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "+s:t:h", long_options, nullptr)) != -1) {
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
        } else if (option == 'h') {
            std::fputs(usage_text, stdout);
            return exit_done;
        } else if (option == 'V') {
            std::printf("kelvantorctl version %s\n", kelvantor::program_version);
            return exit_done;
        } else {
            return usage();
        }
    }
    if (optind >= argc) return usage();
    const std::string_view command = argv[optind];
    const int arguments = argc - optind - 1;
    const bool wants_argument = command == "lookup" || command == "purge" ||
                                command == "purge-domain" || command == "import";
    const bool takes_none = command == "purge-invalid" || command == "save" || command == "stats" ||
                            command == "metrics" || command == "reload" || command == "backends" ||
                            command == "catch-all";
    const bool dump = command == "dump";
    if ((!wants_argument && !takes_none && !dump) || (wants_argument && arguments != 1) ||
        (takes_none && arguments != 0) || (dump && arguments > 1)) {
        return usage();
    }
    std::string request(command);
    kelvantor::unique_fd import_file;
    if (command == "import") {
        const char* file = argv[optind + 1];
        import_file.reset(std::strcmp(file, "-") == 0 ? dup(STDIN_FILENO)
                                                      : open(file, O_RDONLY | O_CLOEXEC));
        if (!import_file) {
            std::fprintf(stderr, "kelvantorctl: cannot open %s: %s\n", file, std::strerror(errno));
            return exit_usage;
        }
    } else if (wants_argument || (dump && arguments == 1)) {
        const std::string_view argument = argv[optind + 1];
        if (argument.empty() || argument.find_first_of("\r\n ") != std::string_view::npos ||
            (dump && argument != "valid" && argument != "invalid")) {
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
    const kelvantor::unique_fd socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = socket_fd.get();
    if (fd < 0) return unreachable(path, "cannot create a socket for");
    if (!connect_within(fd, address, bound)) {
        if (errno == ETIMEDOUT) return timed_out(path, bound);
        return unreachable(path, "cannot connect to");
    }
    if (!send_within(fd, request, bound)) {
        if (errno == ETIMEDOUT) return timed_out(path, bound);
        return unreachable(path, "cannot send to");
    }
    char buffer[65536];
    if (import_file) {
        // The filter may stop reading (at its line limit) and answer: then the
        // answer is read all the same.
        for (;;) {
            const ssize_t got = read(import_file.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                std::fprintf(stderr, "kelvantorctl: cannot read %s: %s\n", argv[optind + 1],
                             std::strerror(errno));
                return exit_usage;
            }
            if (got == 0) break;
            if (!send_within(fd, std::string_view(buffer, static_cast<std::size_t>(got)), bound)) {
                if (errno == ETIMEDOUT) return timed_out(path, bound);
                break;
            }
        }
        shutdown(fd, SHUT_WR);
    }
    answer_printer printer(dump);
    for (;;) {
        if (!wait_ready(fd, POLLIN, bound)) {
            if (errno == ETIMEDOUT) return timed_out(path, bound);
            return unreachable(path, "no answer from");
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return unreachable(path, "cannot read from");
        if (got == 0) break;
        printer.take(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    printer.finish();
    if (printer.lines == 0) {
        errno = ECONNRESET;
        return unreachable(path, "no answer from");
    }
    if (printer.error) return exit_not_found;
    if (dump && !printer.done) {
        std::fprintf(stderr, "kelvantorctl: the dump from %s ended early\n", path);
        return exit_unreachable;
    }
    return printer.none && printer.lines == 1 ? exit_not_found : exit_done;
}
