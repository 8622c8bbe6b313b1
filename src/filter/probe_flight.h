// One probe per address in flight: while one thread asks the backend about an
// address, a miss for the same address (ASCII case ignored, as in the cache)
// on another thread waits for that probe's verdict instead of probing again.
// The registry is a mutex-protected map of the probes under way; no lock is
// held while the probe talks to the backend.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvantor {

// What the probe learnt: a cached verdict (VERDICT_VALID or VERDICT_INVALID)
// and the backend's reply code.
struct flight_verdict {
    std::uint32_t status;
    int code;
};

struct probe_flight;  // one probe under way

// A thread's place in the flight of one address: the owner of the probe
// (leads()) or a waiter.  The owner's ticket ends the flight when it goes,
// with the verdict given to learnt() or with none, and wakes the waiters.
class probe_ticket {
public:
    // Registers a probe of address that this thread makes, to be waited for
    // at most bound from now; or, when one is under way, waits for it.
    probe_ticket(std::string_view address, std::chrono::steady_clock::duration bound);
    ~probe_ticket();
    probe_ticket(const probe_ticket&) = delete;
    probe_ticket& operator=(const probe_ticket&) = delete;

    bool leads() const noexcept { return leads_; }

    // A waiter: the verdict the probe ended with within its bound; none when
    // it ended without one or the bound passed (the waiter probes itself).
    const std::optional<flight_verdict>& verdict() const noexcept { return verdict_; }

    // The owner: the verdict handed to the waiters at the end.
    void learnt(flight_verdict verdict) noexcept { verdict_ = verdict; }

private:
    std::string key_;                 // the address, ASCII capitals folded
    probe_flight* flight_ = nullptr;  // the owner's (held, see probe_flight)
    bool leads_ = false;
    std::optional<flight_verdict> verdict_;
};

}  // namespace kelvantor
