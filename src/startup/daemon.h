// Daemon mode: detach from the terminal and the start directory, write the
// pid file, and end at once on SIGTERM until the milter main loop takes over.
#pragma once

namespace kelvantor {

// Returns only in the detached child; the parent exits with 0, a failed fork
// with 3, a failed setsid with 1.
void daemonize(const char* pid_path);

// Writes "<pid>\n" to path (mode 0600 less the umask), which must be a
// regular file of the process's user with one name, or none; a link, a FIFO
// or another user's file there is left alone.  Failures are logged only.
void write_pidfile(const char* path);

// SIGTERM handler: ends the process at once with status 0.
void exit_on_signal(int signal_number);

}  // namespace kelvantor
