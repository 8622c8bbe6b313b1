// Waits, bounded, for a condition that another thread or process makes
// true, polling it every 2 ms; false when the bound ran out first.  The
// bound is what a failing test costs, never a pace the test relies on.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace kelvantor::testing {

inline bool eventually(const std::function<bool()>& holds,
                       std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!holds()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kelvantor::testing
