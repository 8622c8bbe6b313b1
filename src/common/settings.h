// The global settings with their defaults, and the local host name.  Both are
// written on the main thread during start-up (command line, then the
// configuration file); a reload changes the fields that connection threads
// read, each of which is a relaxed atomic, and nothing else.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvantor {

// A value that one thread may change while others read it: copyable, read
// and written whole, with no order against other memory.
template <class T>
class relaxed {
public:
    relaxed(T value = T{}) noexcept : value_(value) {}  // NOLINT(google-explicit-constructor)
    relaxed(const relaxed& other) noexcept : value_(other.get()) {}
    relaxed& operator=(const relaxed& other) noexcept {
        if (this != &other) *this = other.get();
        return *this;
    }
    relaxed& operator=(T value) noexcept {
        value_.store(value, std::memory_order_relaxed);
        return *this;
    }
    ~relaxed() = default;
    operator T() const noexcept { return get(); }  // NOLINT(google-explicit-constructor)
    T get() const noexcept { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};

struct settings_record {
    std::int32_t valid_ttl = 86400;   // seconds a valid verdict lives
    std::int32_t invalid_ttl = 3000;  // seconds an invalid verdict lives (at most valid_ttl)
    std::int32_t smtp_port = 25;      // backend port for routes read after it
    // Read by connection threads, changed by a reload.
    relaxed<std::int32_t> connect_timeout_ms = 1500;  // backend connect limit
    relaxed<std::int32_t> reply_timeout = 3;  // seconds to wait for banner and RCPT TO reply
    relaxed<bool> tempfail_on_error = false;  // defer, not pass, when a backend is unreachable
    relaxed<bool> log_verdicts = false;       // one info line per decided recipient
    relaxed<bool> catch_all_check = false;    // a random RCPT TO finds catch-all domains
    // Conversations held at once per backend server, kept in its pool; 0: one
    // per client connection and server, no cap.
    relaxed<std::int32_t> backend_max_connections = 0;
    bool subdomains = false;                // routes also match subdomains
    bool milter_fast_path = false;          // ask the MTA for the stages the filter uses only
    std::optional<std::string> cache_path;  // cache file; none: no file is read or written

    // MetricsListen: the address and port GET /metrics is served on; none: no listener.
    std::optional<sockaddr_storage> metrics_listen;
    // Operations: the cache bound, the control socket, periodic saves.
    std::size_t cache_max_entries = 2000000;    // most verdicts held; 0: no bound
    std::optional<std::string> control_socket;  // unix socket of kelvantorctl; none: not opened
    std::int32_t save_interval = 300;  // seconds between saves of the cache file; 0: at exit

    // The shared verdict store: none configured, nothing is shared.
    std::optional<std::string> shared_cache_host;    // name or address; or the unix socket path
    int shared_cache_port = 0;                       // 0: shared_cache_host is a unix socket
    std::optional<std::string> shared_cache_prefix;  // none: "kelvantor:"
    std::int32_t shared_cache_timeout_ms = 50;
    std::optional<std::string> shared_cache_password;
    // Or the Sentinels that name its master (HOST, PORT in the file's order).
    std::vector<std::pair<std::string, int>> shared_cache_sentinels;
    std::optional<std::string> shared_cache_master_name;
    std::optional<std::string> shared_cache_sentinel_password;

    bool shared_cache_wanted() const {
        return shared_cache_host || !shared_cache_sentinels.empty();
    }
    bool shared_cache_push = false;  // verdicts and purges pushed to the fleet (a restart)
};

extern settings_record settings;

inline constexpr std::size_t helo_name_size = 257;

// NUL-terminated local host name: the HELO argument and the probe sender's domain.
extern char helo_name[helo_name_size];

}  // namespace kelvantor
