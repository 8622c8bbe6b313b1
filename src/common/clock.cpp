// The replaceable wall clock.
#include "common/clock.h"

#include <atomic>

namespace kelvantor {
namespace {

wall_time system_now() {
    return std::chrono::system_clock::now();
}

std::atomic<clock_source> current_source{system_now};

}  // namespace

wall_time wall_now() {
    return current_source.load(std::memory_order_relaxed)();
}

void set_clock_source(clock_source source) {
    current_source.store(source != nullptr ? source : system_now, std::memory_order_relaxed);
}

}  // namespace kelvantor
