// Daemon mode, pid file and the SIGTERM handler used before the milter main
// loop starts (libmilter handles SIGTERM itself once it runs).
#include "startup/daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exit_status.h"
#include "common/log.h"
#include "common/unique_fd.h"
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

// Written only to a regular file of the run user's own with no other name:
// the open follows no link and does not wait on a FIFO, and an existing file
// is emptied only once it has passed.  Anything else at the path is left as
// it is and logged with the path.
void write_pidfile(const char* path) {
    const long pid = static_cast<long>(getpid());
    const unique_fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) {
        if (errno == ELOOP) {
            log_msg(LOG_ERR, "pidfile %s refused: a symbolic link", path);
        } else if (errno == ENXIO) {
            log_msg(LOG_ERR, "pidfile %s refused: not a regular file", path);
        } else {
            log_msg(LOG_ERR, "cannot open pidfile");
        }
        return;
    }
    struct stat st {};
    const char* refusal = nullptr;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        refusal = "not a regular file";
    } else if (st.st_uid != geteuid()) {
        refusal = "owned by another user";
    } else if (st.st_nlink != 1) {
        refusal = "more than one link to the file";
    }
    if (refusal != nullptr) {
        log_msg(LOG_ERR, "pidfile %s refused: %s", path, refusal);
        return;
    }
    char text[20];
    const int length = std::snprintf(text, sizeof text, "%ld\n", pid);
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        ftruncate(fd.get(), 0) != 0 ||
        write(fd.get(), text, static_cast<std::size_t>(length)) != length) {
        log_msg(LOG_ERR, "cannot write to pidfile");
    }
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
