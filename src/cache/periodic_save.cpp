// The periodic saver: a thread that waits out each interval on a condition
// variable, so that stopping it never waits longer than a save under way.
#include "cache/periodic_save.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "cache/cache_file.h"
#include "common/log.h"
#include "common/quiet_thread.h"

namespace kelvantor {
namespace {

std::mutex saver_mutex;
std::condition_variable saver_wake;
bool stopping = false;
std::thread saver;

void run(const char* path, std::chrono::seconds interval) {
    std::unique_lock hold(saver_mutex);
    for (;;) {
        if (saver_wake.wait_for(hold, interval, [] { return stopping; })) return;
        hold.unlock();
        cache_save(path, false);
        hold.lock();
    }
}

}  // namespace

void periodic_save_start(const char* path, std::chrono::seconds interval) {
    if (path == nullptr || interval.count() <= 0 || saver.joinable()) return;
    stopping = false;
    try {
        saver = start_quiet_thread(run, path, interval);
    } catch (const std::exception&) {
        log_msg(LOG_ERR, "cannot start the periodic save of the cache");
    }
}

void periodic_save_stop() {
    if (!saver.joinable()) return;
    {
        const std::lock_guard hold(saver_mutex);
        stopping = true;
    }
    saver_wake.notify_all();
    saver.join();
}

}  // namespace kelvantor
