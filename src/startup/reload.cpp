// Live reload.  The file is read into a new configuration on top of the
// start-up baseline; only a file read without error is taken.  Routes and
// exemptions are replaced whole (a recipient under way keeps the ones it
// started with), the run-time settings field by field; what only a restart
// can change (listeners, the cache file, adding or removing the shared
// store) is logged and kept.
#include "startup/reload.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "cache/periodic_save.h"
#include "cache/verdict_cache.h"
#include "common/log.h"
#include "metrics/metrics.h"
#include "startup/config.h"

namespace kelvantor {
namespace {

struct reload_state {
    std::mutex mutex;  // one reload at a time
    std::string config_path;
    settings_record baseline;
};

reload_state& state() {
    // Never destroyed: the signal thread may reload until the process ends.
    static auto* const s = new reload_state;
    return *s;
}

std::atomic<bool> sighup_reloads{false};

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A setting that takes a restart: the running value stays, the change is said.
template <class Value>
void keep_running(const char* keyword, Value& read, const Value& running) {
    if (read == running) return;
    log_msg(LOG_WARNING, "%s changed: it takes a restart, the running value stays", keyword);
    read = running;
}

// The settings that connection threads read, each changed whole; the
// cache's lifetimes and bound; the interval of the periodic saves.
void apply_run_time_settings(const settings_record& read) {
    settings.tempfail_on_error = read.tempfail_on_error;
    settings.connect_timeout_ms = read.connect_timeout_ms;
    settings.reply_timeout = read.reply_timeout;
    settings.log_verdicts = read.log_verdicts;
    settings.catch_all_check = read.catch_all_check;
    settings.backend_max_connections = read.backend_max_connections;
    if (read.valid_ttl != settings.valid_ttl || read.invalid_ttl != settings.invalid_ttl) {
        verdict_cache_set_lifetimes(read.valid_ttl, read.invalid_ttl);
        settings.valid_ttl = read.valid_ttl;
        settings.invalid_ttl = read.invalid_ttl;
    }
    if (read.cache_max_entries != settings.cache_max_entries) {
        verdict_cache_set_bound(read.cache_max_entries);
        settings.cache_max_entries = read.cache_max_entries;
    }
    if (read.save_interval != settings.save_interval) {
        const char* path = settings.cache_path ? settings.cache_path->c_str() : nullptr;
        periodic_save_set_interval(path, std::chrono::seconds(read.save_interval));
        settings.save_interval = read.save_interval;
        set_cache_save_interval(path != nullptr ? read.save_interval : 0);
    }
    settings.shared_cache_host = read.shared_cache_host;
    settings.shared_cache_port = read.shared_cache_port;
    settings.shared_cache_prefix = read.shared_cache_prefix;
    settings.shared_cache_password = read.shared_cache_password;
    settings.shared_cache_timeout_ms = read.shared_cache_timeout_ms;
    // Logs once when any of its settings or the lifetimes changed.
    if (settings.shared_cache_wanted() && shared_store_enabled()) {
        shared_store_reconfigure(shared_store_configuration());
    }
}

bool same_address(const std::optional<sockaddr_storage>& a,
                  const std::optional<sockaddr_storage>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || std::memcmp(&*a, &*b, sizeof *a) == 0;
}

void keep_restart_settings(settings_record& read) {
    if (!same_address(read.metrics_listen, settings.metrics_listen)) {
        log_msg(LOG_WARNING, "MetricsListen changed: it takes a restart, the running value stays");
        read.metrics_listen = settings.metrics_listen;
    }
    keep_running("ControlSocket", read.control_socket, settings.control_socket);
    keep_running("BackList", read.cache_path, settings.cache_path);
    // Another server, prefix, password or timeout is taken; a store added
    // or removed is not (the writer runs from start to end).
    if (read.shared_cache_host.has_value() != settings.shared_cache_host.has_value()) {
        keep_running("SharedCacheServer", read.shared_cache_host, settings.shared_cache_host);
        read.shared_cache_port = settings.shared_cache_port;
        read.shared_cache_prefix = settings.shared_cache_prefix;
        read.shared_cache_password = settings.shared_cache_password;
        read.shared_cache_timeout_ms = settings.shared_cache_timeout_ms;
    }
    // The Sentinels are watched by a thread that runs from start to end.
    keep_running("SharedCacheSentinel", read.shared_cache_sentinels,
                 settings.shared_cache_sentinels);
    keep_running("SharedCacheMasterName", read.shared_cache_master_name,
                 settings.shared_cache_master_name);
    keep_running("SharedCacheSentinelPassword", read.shared_cache_sentinel_password,
                 settings.shared_cache_sentinel_password);
    keep_running("MilterFastPath", read.milter_fast_path, settings.milter_fast_path);
    keep_running("SharedCachePush", read.shared_cache_push, settings.shared_cache_push);
}

// The running configuration stays; why is logged, and handed back when asked for.
bool refuse(const std::string& why, std::string* reason) {
    log_msg(LOG_ERR, "configuration not reloaded: %s", why.c_str());
    count_reload(false);
    if (reason != nullptr) *reason = why;
    return false;
}

}  // namespace

shared_store_config shared_store_configuration() {
    shared_store_config config;
    config.host = settings.shared_cache_host.value_or("");
    config.port = settings.shared_cache_port;
    config.unix_socket = settings.shared_cache_port == 0;
    if (settings.shared_cache_prefix) config.prefix = *settings.shared_cache_prefix;
    config.timeout = std::chrono::milliseconds(settings.shared_cache_timeout_ms);
    config.password = settings.shared_cache_password;
    for (const auto& [host, port] : settings.shared_cache_sentinels) {
        config.sentinels.push_back({host, port});
    }
    config.master_name = settings.shared_cache_master_name.value_or("");
    config.sentinel_password = settings.shared_cache_sentinel_password;
    config.push = settings.shared_cache_push;
    config.valid_lifetime = std::chrono::seconds(verdict_lifetime(VERDICT_VALID));
    config.invalid_lifetime = std::chrono::seconds(verdict_lifetime(VERDICT_INVALID));
    return config;
}

void reload_prepare(std::string config_path, const settings_record& baseline) {
    reload_state& s = state();
    const std::lock_guard lock(s.mutex);
    s.config_path = std::move(config_path);
    s.baseline = baseline;
}

bool reload_configuration(std::string* why) {
    reload_state& s = state();
    const std::lock_guard lock(s.mutex);
    const char* path = s.config_path.c_str();
    try {
        const std::unique_ptr<std::FILE, file_closer> file(std::fopen(path, "r"));
        if (file == nullptr) {
            return refuse("cannot open " + s.config_path + ": " + std::strerror(errno), why);
        }
        configuration read;
        read.settings = s.baseline;
        reading_report report;
        if (read_config(file.get(), path, read, reading_mode::reload, report) != 0) {
            return refuse(s.config_path + ": out of memory", why);
        }
        if (read.routes.empty()) {
            log_msg(LOG_ERR, "%s: BackAddrDomain not defined", path);
            ++report.errors;
        }
        if (report.errors > 0) {
            return refuse(s.config_path + " has " + std::to_string(report.errors) +
                              " error(s), the running configuration stays",
                          why);
        }
        if (!read.exemptions.add_defaults()) return refuse(s.config_path + ": out of memory", why);
        keep_restart_settings(read.settings);
        const std::size_t domains = read.routes.domain_count();
        const std::size_t servers = read.routes.server_count();
        const std::size_t nets = read.exemptions.net_count();
        const std::size_t daemons = read.exemptions.daemon_count();
        if (!routes_install(std::move(read.routes)) ||
            !exemptions_install(std::move(read.exemptions))) {
            return refuse(s.config_path + ": out of memory", why);
        }
        apply_run_time_settings(read.settings);
        log_msg(LOG_INFO,
                "configuration reloaded: %zu routes to %zu servers, %zu exempt networks, %zu "
                "exempt daemons",
                domains, servers, nets, daemons);
        count_reload(true);
        return true;
    } catch (const std::bad_alloc&) {
        log_msg(LOG_ERR, "configuration not reloaded: out of memory");
        count_reload(false);
        if (why != nullptr) *why = "out of memory";  // short enough to need no allocation
        return false;
    }
}

void reload_on_sighup() {
    sighup_reloads.store(true);
}

}  // namespace kelvantor

// libmilter's signal thread waits with sigwait for SIGHUP, SIGTERM and SIGINT
// and ends the milter on each.  This definition, in the program, comes before
// the C library's: a SIGHUP it is handed runs a reload and the wait goes on,
// so that libmilter only ever sees the signals that end it.
extern "C" int sigwait(const sigset_t* set, int* sig) {  // NOLINT(readability-inconsistent-*)
    using sigwait_call = int (*)(const sigset_t*, int*);
    static const auto next = reinterpret_cast<sigwait_call>(dlsym(RTLD_NEXT, "sigwait"));
    if (next == nullptr) return ENOSYS;
    for (;;) {
        const int error = next(set, sig);
        if (error != 0 || *sig != SIGHUP || !kelvantor::sighup_reloads.load()) return error;
        kelvantor::reload_configuration();
    }
}
