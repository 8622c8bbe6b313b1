// The periodic saver: a thread that waits out each interval on a condition
// variable, so that stopping it never waits longer than a save under way.
#include "cache/periodic_save.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
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
std::int64_t current_interval = 0;  // seconds, under saver_mutex
std::thread saver;
std::mutex control_mutex;  // start, stop and new intervals, one at a time

void run(const char* path) {
    std::unique_lock hold(saver_mutex);
    for (;;) {
        const std::int64_t interval = current_interval;
        const bool changed = saver_wake.wait_for(hold, std::chrono::seconds(interval), [interval] {
            return stopping || current_interval != interval;
        });
        if (stopping) return;
        if (changed) continue;  // wait out the new interval from now
        hold.unlock();
        cache_save(path, false);
        hold.lock();
    }
}

void start(const char* path, std::chrono::seconds interval) {
    if (path == nullptr || interval.count() <= 0 || saver.joinable()) return;
    {
        const std::lock_guard hold(saver_mutex);
        stopping = false;
        current_interval = interval.count();
    }
    try {
        saver = start_quiet_thread(run, path);
    } catch (const std::exception&) {
        log_msg(LOG_ERR, "cannot start the periodic save of the cache");
    }
}

void stop() {
    if (!saver.joinable()) return;
    {
        const std::lock_guard hold(saver_mutex);
        stopping = true;
    }
    saver_wake.notify_all();
    saver.join();
}

}  // namespace

void periodic_save_start(const char* path, std::chrono::seconds interval) {
    const std::lock_guard control(control_mutex);
    start(path, interval);
}

void periodic_save_stop() {
    const std::lock_guard control(control_mutex);
    stop();
}

void periodic_save_set_interval(const char* path, std::chrono::seconds interval) {
    const std::lock_guard control(control_mutex);
    if (interval.count() <= 0) {
        stop();
        return;
    }
    if (!saver.joinable()) {
        start(path, interval);
        return;
    }
    {
        const std::lock_guard hold(saver_mutex);
        current_interval = interval.count();
    }
    saver_wake.notify_all();
}

}  // namespace kelvantor
