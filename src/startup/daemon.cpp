// Daemon mode, pid file and the SIGTERM handler used before the milter main
// loop starts (libmilter handles SIGTERM itself once it runs).
#include "startup/daemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"
#include "common/log.h"
#include "startup/startup.h"

namespace kelvantor {
namespace {

// Points a standard descriptor at /dev/null (open takes the lowest free one).
void reopen_on_dev_null(int fd) {
    close(fd);
    [[maybe_unused]] const int reopened = open("/dev/null", O_RDONLY);
}

}  // namespace

void exit_on_signal(int /*signal_number*/) {
    _exit(0);
}

void write_pidfile(const char* path) {
    const long pid = static_cast<long>(getpid());
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        log_msg(LOG_ERR, "cannot open pidfile");
        return;
    }
    char text[20];
    const int length = std::snprintf(text, sizeof text, "%ld\n", pid);
    if (write(fd, text, static_cast<std::size_t>(length)) != length) {
        log_msg(LOG_ERR, "cannot write to pidfile");
    }
    close(fd);
}

void daemonize(const char* pid_path) {
    signal(SIGTERM, exit_on_signal);
    reopen_on_dev_null(STDIN_FILENO);
    reopen_on_dev_null(STDOUT_FILENO);
    reopen_on_dev_null(STDERR_FILENO);

    const pid_t child = fork();
    if (child < 0) {
        std::perror("cannot fork\n");
        std::exit(exit_status::fork_failed);
    }
    if (child > 0) std::exit(exit_status::ok);

    log_msg(LOG_INFO, "kelvantor %s running", program_version);
    if (setsid() < 0) std::exit(exit_status::setsid_failed);
    write_pidfile(pid_path);
    [[maybe_unused]] const int changed = chdir("/");
}

}  // namespace kelvantor
