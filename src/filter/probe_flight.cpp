// The registry of probes under way: one entry per folded address, made by the
// probe's owner and removed by it when the probe ends; waiters hold the entry
// (shared) while they wait on its condition variable, under the registry lock.
#include "filter/probe_flight.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>

namespace kelvantor {

struct probe_flight {
    std::chrono::steady_clock::time_point deadline;
    std::condition_variable ended_signal;
    bool ended = false;
    std::optional<flight_verdict> verdict;
};

namespace {

struct flight_registry {
    std::mutex lock;
    std::unordered_map<std::string, std::shared_ptr<probe_flight>> flights;
};

flight_registry& registry() {
    static flight_registry instance;
    return instance;
}

std::string folded(std::string_view address) {
    std::string key(address);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

}  // namespace

probe_ticket::probe_ticket(std::string_view address, std::chrono::steady_clock::duration bound)
    : key_(folded(address)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    flight_registry& r = registry();
    std::unique_lock hold(r.lock);
    const auto [entry, made] = r.flights.try_emplace(key_);
    if (made) {
        try {
            entry->second = std::make_shared<probe_flight>();
        } catch (...) {
            r.flights.erase(entry);
            throw;
        }
        entry->second->deadline = deadline;
        flight_ = entry->second;
        leads_ = true;
        return;
    }
    const std::shared_ptr<probe_flight> flight = entry->second;
    flight->ended_signal.wait_until(hold, flight->deadline, [&flight] { return flight->ended; });
    if (flight->ended) verdict_ = flight->verdict;
}

probe_ticket::~probe_ticket() {
    if (!leads_) return;
    {
        flight_registry& r = registry();
        const std::lock_guard hold(r.lock);
        flight_->verdict = verdict_;
        flight_->ended = true;
        r.flights.erase(key_);
    }
    // Each waiter holds the flight, so it outlives this.
    flight_->ended_signal.notify_all();
}

}  // namespace kelvantor
