// Log capture for tests: a sink that stores every message under a mutex.
#include "support/log_capture.h"

#include <condition_variable>
#include <mutex>

#include "common/log.h"

namespace kelvantor::testing {
namespace {

std::mutex captured_mutex;
std::condition_variable captured_changed;
std::vector<log_line> captured;

void capture_sink(int priority, const char* message) {
    {
        std::lock_guard lock(captured_mutex);
        captured.push_back({priority, message});
    }
    captured_changed.notify_all();
}

}  // namespace

log_capture::log_capture() {
    clear();
    set_log_sink(capture_sink);
}

log_capture::~log_capture() {
    set_log_sink(nullptr);
}

std::vector<log_line> log_capture::lines() const {
    std::lock_guard lock(captured_mutex);
    return captured;
}

bool log_capture::contains(int priority, const std::string& text) const {
    std::lock_guard lock(captured_mutex);
    for (const auto& line : captured) {
        if (line.priority == priority && line.text == text) return true;
    }
    return false;
}

int log_capture::count(const std::string& text) const {
    std::lock_guard lock(captured_mutex);
    int n = 0;
    for (const auto& line : captured) n += line.text == text ? 1 : 0;
    return n;
}

bool log_capture::wait_for(int priority, const std::string& text,
                           std::chrono::milliseconds bound) const {
    std::unique_lock lock(captured_mutex);
    return captured_changed.wait_for(lock, bound, [&] {
        for (const auto& line : captured) {
            if (line.priority == priority && line.text == text) return true;
        }
        return false;
    });
}

void log_capture::clear() {
    std::lock_guard lock(captured_mutex);
    captured.clear();
}

std::string log_capture::dump() const {
    std::lock_guard lock(captured_mutex);
    std::string out;
    for (const auto& line : captured) {
        out += std::to_string(line.priority) + " " + line.text + "\n";
    }
    return out;
}

}  // namespace kelvantor::testing
