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

// A std::thread running f with every signal blocked; throws as std::thread does.
template <typename F, typename... Args>
std::thread start_quiet_thread(F&& f, Args&&... args) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    struct restore {
        sigset_t& mask;
        ~restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore_mask{before};
    return std::thread(std::forward<F>(f), std::forward<Args>(args)...);
}

}  // namespace kelvantor
