// kv-e2e-tool: the syslog receiver of the end-to-end shell tests.
//   syslogd SOCKET OUT [--kill-on TEXT]
//       a syslog receiver on a unix datagram socket (mode 0666): appends each
//       message as one line to OUT (created once the socket is bound); with
//       --kill-on, SIGKILLs the sender named in the first message holding TEXT
//       (the pid of its "ident[pid]:" tag).  Ends on SIGTERM, removing SOCKET.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

volatile sig_atomic_t stop_requested = 0;

void on_term(int /*signal*/) {
    stop_requested = 1;
}

// The pid in the first "[digits]" of a syslog message, or 0.
pid_t sender_pid(std::string_view message) {
    const auto open = message.find('[');
    if (open == std::string_view::npos) {
        return 0;
    }
    pid_t pid = 0;
    for (std::size_t i = open + 1; i < message.size() && message[i] != ']'; ++i) {
        if (message[i] < '0' || message[i] > '9') {
            return 0;
        }
        pid = pid * 10 + (message[i] - '0');
    }
    return pid;
}

bool write_line(int fd, std::string_view text) {
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\0')) {
        line.pop_back();
    }
    line.push_back('\n');
    return ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

int syslogd(const char* socket_path, const char* out_path, const char* kill_on) {
    struct sigaction action {};
    action.sa_handler = on_term;  // no SA_RESTART: recv() returns EINTR
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    sockaddr_un address{};
    if (std::strlen(socket_path) >= sizeof address.sun_path) {
        std::fprintf(stderr, "socket path too long\n");
        return 1;
    }
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket_path);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "cannot bind %s: %s\n", socket_path, std::strerror(errno));
        return 1;
    }
    ::chmod(socket_path, 0666);
    const int out = ::open(out_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        std::fprintf(stderr, "cannot open %s: %s\n", out_path, std::strerror(errno));
        ::unlink(socket_path);
        return 1;
    }
    bool killed = false;
    std::vector<char> buffer(std::size_t{64} * 1024);
    while (stop_requested == 0) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        const std::string_view message(buffer.data(), static_cast<std::size_t>(n));
        if (kill_on != nullptr && !killed && message.find(kill_on) != std::string_view::npos) {
            const pid_t pid = sender_pid(message);
            if (pid > 1 && ::kill(pid, SIGKILL) == 0) {
                killed = true;
                write_line(out, message);
                write_line(out, "kv-e2e-tool: killed " + std::to_string(pid));
                continue;
            }
        }
        write_line(out, message);
    }
    ::unlink(socket_path);
    ::close(out);
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "syslogd" &&
        (argc == 4 || (argc == 6 && std::strcmp(argv[4], "--kill-on") == 0))) {
        return syslogd(argv[2], argv[3], argc == 6 ? argv[5] : nullptr);
    }
    std::fputs("usage: kv-e2e-tool syslogd SOCKET OUT [--kill-on TEXT]\n", stderr);
    return 2;
}
