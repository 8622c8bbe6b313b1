// kelvantorctl: sends one request to kelvantor's control socket and prints
// the answer.  Exit statuses: 0 done, 1 nothing found (lookup "none") or an
// error answer, 2 a usage error, 69 the filter cannot be reached.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr const char* default_socket = "/run/kelvantor/control.sock";
constexpr int exit_done = 0;
constexpr int exit_not_found = 1;
constexpr int exit_usage = 2;
constexpr int exit_unreachable = 69;
constexpr int wait_ms = 30000;  // a save of a big cache takes a while

int usage() {
    std::fputs(
        "usage: kelvantorctl [-s socket] command [argument]\n"
        "commands: lookup ADDRESS | purge ADDRESS | purge-domain DOMAIN | purge-invalid |\n"
        "          save | stats | metrics\n",
        stderr);
    return exit_usage;
}

int unreachable(const char* path, const char* what) {
    std::fprintf(stderr, "kelvantorctl: %s %s: %s\n", what, path, std::strerror(errno));
    return exit_unreachable;
}

bool wait_ready(int fd, short events) {
    pollfd p{fd, events, 0};
    int ready;
    while ((ready = poll(&p, 1, wait_ms)) < 0 && errno == EINTR) {
    }
    if (ready == 0) errno = ETIMEDOUT;
    return ready > 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = default_socket;
    int option;
    while ((option = getopt(argc, argv, "+s:h")) != -1) {
        if (option != 's') return usage();
        path = optarg;
    }
    if (optind >= argc) return usage();
    const std::string_view command = argv[optind];
    const int arguments = argc - optind - 1;
    const bool wants_argument =
        command == "lookup" || command == "purge" || command == "purge-domain";
    const bool takes_none = command == "purge-invalid" || command == "save" || command == "stats" ||
                            command == "metrics";
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
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return unreachable(path, "cannot create a socket for");
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return unreachable(path, "cannot connect to");
    }
    std::string_view left = request;
    while (!left.empty()) {
        if (!wait_ready(fd, POLLOUT)) return unreachable(path, "cannot send to");
        const ssize_t sent = send(fd, left.data(), left.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return unreachable(path, "cannot send to");
        left.remove_prefix(static_cast<std::size_t>(sent));
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        if (!wait_ready(fd, POLLIN)) return unreachable(path, "no answer from");
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
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
