// Threads that take no signals: libmilter waits for SIGTERM, SIGHUP and SIGINT
// in a thread of its own and blocks them in the others, so a thread started
// before smfi_main must block them too, or the default action (the end of the
// process, without the save at exit) would take a signal meant for libmilter.
#pragma once

#include <pthread.h>

#include <csignal>
#include <thread>
#include <utility>

namespace kelvantor {

// Every signal blocked in the calling thread for the owner's lifetime, so that
// threads started meanwhile (by us or by a library) inherit the full mask.
class signals_blocked {
public:
    signals_blocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before_);
    }
    ~signals_blocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    signals_blocked(const signals_blocked&) = delete;
    signals_blocked& operator=(const signals_blocked&) = delete;

private:
    sigset_t before_{};
};

// A std::thread running f with every signal blocked; throws as std::thread does.
template <typename F, typename... Args>
std::thread start_quiet_thread(F&& f, Args&&... args) {
    const signals_blocked quiet;
    return std::thread(std::forward<F>(f), std::forward<Args>(args)...);
}

}  // namespace kelvantor
