// The registry of probes under way: one entry per folded address, made by the
// probe's owner and removed by it when the probe ends; waiters hold the entry
// while they wait on its condition variable, under the registry lock.  The
// holds are a plain count under that lock (not std::shared_ptr: the
// sanitizers' checks of its polymorphic counter cannot run in a process that
// has used up its descriptors, which the recipient path must survive); the
// last to let go frees the entry.
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
    std::size_t holders = 1;  // the owner, and each waiter; under the registry lock
};

namespace {

struct flight_registry {
    std::mutex lock;
    std::unordered_map<std::string, probe_flight*> flights;
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
            entry->second = new probe_flight;
        } catch (...) {
            r.flights.erase(entry);
            throw;
        }
        entry->second->deadline = deadline;
        flight_ = entry->second;
        leads_ = true;
        return;
    }
    probe_flight* const flight = entry->second;
    ++flight->holders;
    flight->ended_signal.wait_until(hold, flight->deadline, [flight] { return flight->ended; });
    if (flight->ended) verdict_ = flight->verdict;
    if (--flight->holders == 0) delete flight;  // the owner has let go: it ended
}

probe_ticket::~probe_ticket() {
    if (!leads_) return;
    flight_registry& r = registry();
    const std::lock_guard hold(r.lock);
    flight_->verdict = verdict_;
    flight_->ended = true;
    r.flights.erase(key_);
    flight_->ended_signal.notify_all();
    if (--flight_->holders == 0) delete flight_;
}

}  // namespace kelvantor
