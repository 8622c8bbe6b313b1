// The replaceable wall and monotonic clocks.
#include "common/clock.h"

#include <atomic>

namespace kelvantor {
namespace {

wall_time system_now() {
    return std::chrono::system_clock::now();
}

monotonic_time steady_now() {
    return std::chrono::steady_clock::now();
}

std::atomic<clock_source> current_source{system_now};
std::atomic<monotonic_source> current_monotonic_source{steady_now};

}  // namespace

wall_time wall_now() {
    return current_source.load(std::memory_order_relaxed)();
}

void set_clock_source(clock_source source) {
    current_source.store(source != nullptr ? source : system_now, std::memory_order_relaxed);
}

monotonic_time monotonic_now() {
    return current_monotonic_source.load(std::memory_order_relaxed)();
}

void set_monotonic_source(monotonic_source source) {
    current_monotonic_source.store(source != nullptr ? source : steady_now,
                                   std::memory_order_relaxed);
}

}  // namespace kelvantor
