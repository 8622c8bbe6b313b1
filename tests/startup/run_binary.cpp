// Child-process runner for tests of the command line.
#include "run_binary.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "common/unique_fd.h"

namespace kelvantor::testing {

run_result run_binary(const std::vector<std::string>& argv, std::chrono::milliseconds bound) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(err_pipe[0]);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    unique_fd out_fd(out_pipe[0]);
    unique_fd err_fd(err_pipe[0]);

    run_result result;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    pollfd fds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                fds[i].fd = -1;
                --open_streams;
            } else {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
    if (open_streams > 0) kill(child, SIGKILL);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    if (open_streams == 0 && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
    return result;
}

}  // namespace kelvantor::testing
