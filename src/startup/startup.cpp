// The command line and the start-up sequence: options are acted on as they
// are read, then syslog, privileges, registration, host name, configuration,
// exemptions, cache, daemon mode and the milter main loop; after the loop,
// the cache is saved, the pid file removed and "Exit" logged.
#include "startup/startup.h"

#include <grp.h>
#include <libmilter/mfapi.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/closer.h"
#include "backend/pool.h"
#include "cache/cache_file.h"
#include "cache/periodic_save.h"
#include "cache/verdict_cache.h"
#include "common/clock.h"
#include "common/exit_status.h"
#include "common/log.h"
#include "common/settings.h"
#include "control/control.h"
#include "exemptions/exemptions.h"
#include "filter/filter.h"
#include "metrics/metrics.h"
#include "metrics/metrics_server.h"
#include "routing/routes.h"
#include "shared/shared_store.h"
#include "startup/config.h"
#include "startup/daemon.h"
#include "startup/reload.h"

namespace kelvantor {
namespace {

// The leading '+' makes getopt stop at the first operand, as POSIX has it:
// glibc would otherwise permute and act on options behind stray words.
constexpr const char* option_string = "+p:T:u:f:g:b:P:Dnhv";
constexpr const char* default_config_path = "/usr/local/etc/mail/kelvantor.conf";
constexpr const char* default_pid_path = "/var/run/kelvantor.pid";

struct start_options {
    uid_t uid = 0;
    gid_t gid = 0;
    bool group_given = false;
    bool identity_given = false;  // -u or -g named an existing user or group
    std::string config_path = default_config_path;
    std::string pid_path = default_pid_path;
    bool daemon_mode = false;
    bool check_only = false;  // -n
};

[[noreturn]] void refuse(const char* message) {
    std::fputs(message, stderr);
    std::exit(exit_status::empty_argument);
}

// "PREFIX: ARGUMENT\n", as the refusals of -p and -T word it.
[[noreturn]] void refuse_with_argument(const char* prefix, const char* argument) {
    std::fprintf(stderr, "%s: %s\n", prefix, argument);
    std::exit(exit_status::empty_argument);
}

void remove_stale_socket(const char* spec) {
    for (const char* prefix : {"unix:", "local:"}) {
        const std::size_t length = std::strlen(prefix);
        if (std::strncmp(spec, prefix, length) == 0) {
            unlink(spec + length);
            return;
        }
    }
}

void take_user(const char* name, start_options& options) {
    if (const passwd* user = getpwnam(name); user != nullptr) {
        options.uid = user->pw_uid;
        options.gid = user->pw_gid;
        options.identity_given = true;
    }
    endpwent();
}

void take_group(const char* name, start_options& options) {
    options.group_given = true;
    if (const group* found = getgrnam(name); found != nullptr) {
        options.gid = found->gr_gid;
        options.identity_given = true;
    }
    endgrent();
}

// Acts on each option as it is read, up to the first operand; exits on the
// refusals.  Operands are ignored.
start_options read_options(int argc, char** argv) {
    start_options options;
    int option;
    while ((option = getopt(argc, argv, option_string)) != -1) {
        const char* argument = optarg;
        const bool empty = argument != nullptr && *argument == '\0';
        switch (option) {
            case 'p':
                if (empty) refuse_with_argument("Illegal connection", argument);
                if (smfi_setconn(optarg) == MI_FAILURE) {
                    std::fputs("smfi_setconn failed", stderr);
                    std::exit(exit_status::software);
                }
                remove_stale_socket(argument);
                break;
            case 'T':
                if (empty) refuse_with_argument("Illegal timeout", argument);
                // atoi on purpose: text without leading digits means 0.
                if (smfi_settimeout(std::atoi(argument)) == MI_FAILURE) {  // NOLINT(cert-err34-c)
                    std::fputs("smfi_settimeout failed", stderr);
                    std::exit(exit_status::software);
                }
                break;
            case 'u':
                if (empty) refuse("Invalid username\n");
                take_user(argument, options);
                break;
            case 'g':
                if (empty) refuse("Invalid group name\n");
                take_group(argument, options);
                break;
            case 'f':
                if (empty) refuse("Invalid configuration file\n");
                options.config_path = argument;
                break;
            case 'b':
                if (empty) refuse("Invalid file for backup of recipient addresses\n");
                settings.cache_path = argument;
                break;
            case 'P':
                if (empty) refuse("Invalid pid file\n");
                options.pid_path = argument;
                break;
            case 'D':
                options.daemon_mode = true;
                break;
            case 'n':
                options.check_only = true;
                break;
            default:
                usage();
                std::exit(0);
        }
    }
    return options;
}

// Switches to the configured group and user, when -u or -g named one.  Every
// call is checked: a process left with root's group, or with neither the
// group nor the user asked for, must not go on.  Root's own supplementary
// groups are dropped so that they do not outlive the switch.
void drop_privileges(const start_options& options) {
    if (!options.identity_given) return;
    const auto fail = [](const char* call) {
        log_msg(LOG_ERR, "%s failed: %s", call, std::strerror(errno));
        std::exit(exit_status::configuration);
    };
    if (geteuid() == 0 && setgroups(1, &options.gid) != 0) fail("setgroups");
    if (setgid(options.gid) != 0) fail("setgid");
    if (setuid(options.uid) != 0) fail("setuid");
}

[[noreturn]] void unavailable(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    log_msg(LOG_ERR, "%s", what);
    std::exit(exit_status::unavailable);
}

// Whether start-up errors are also shown on standard error: a terminal, or
// the foreground under systemd (its journal takes standard error).
bool errors_seen_on_stderr() {
    return isatty(STDERR_FILENO) == 1 || std::getenv("JOURNAL_STREAM") != nullptr ||
           std::getenv("INVOCATION_ID") != nullptr;
}

void no_log(int /*priority*/, const char* /*message*/) {}

// Start-up failing after some service threads began: they are stopped first
// (a thread still running when the process exits would abort it), then the
// pid file of daemon mode goes.
[[noreturn]] void stop_services_and_exit(const start_options& options, int status) {
    periodic_save_stop();
    control_stop();
    metrics_server_stop();
    if (options.daemon_mode) unlink(options.pid_path.c_str());
    std::exit(status);
}

}  // namespace

// Descriptors: the soft limit goes up to the hard one, so that a busy filter
// (a connection, a backend conversation and perhaps a store link per client)
// does not run out at the usual soft limit of 1024.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        log_msg(LOG_DEBUG, "cannot raise the descriptor limit: %s", std::strerror(errno));
        return;
    }
    log_msg(LOG_DEBUG, "descriptor limit raised from %llu to %llu",
            static_cast<unsigned long long>(before),
            static_cast<unsigned long long>(limit.rlim_cur));
}

void usage() {
    std::printf("kelvantor version %s\n", program_version);
    std::fputs(
        "usage: kelvantor -p protocol:address [-u user] [-g group] [-T timeout]\n"
        "                 [-f config] [-P pidfile] [-b path] [-D] [-n]\n"
        "  -p spec     milter socket: inet:PORT@ADDRESS, inet6:PORT@ADDRESS or unix:/path\n"
        "  -u user     run as this user (and its primary group)\n"
        "  -g group    run with this group; the milter socket and the cache file\n"
        "              become group-readable and -writable\n"
        "  -T seconds  libmilter I/O timeout towards the MTA\n"
        "  -f path     configuration file (default /usr/local/etc/mail/kelvantor.conf)\n"
        "  -b path     cache file of verdicts (a BackList line wins)\n"
        "  -P path     pid file in daemon mode (default /var/run/kelvantor.pid)\n"
        "  -D          run as a daemon\n"
        "  -n          check the configuration: print every problem, exit 0 or 71\n"
        "  -h, -v      print this text and exit\n",
        stdout);
}

int kelvantor_main(int argc, char** argv) {
    if (getppid() == 1) return 0;
    // A write past RLIMIT_FSIZE then fails with EFBIG and is reported like any
    // other write error, instead of ending the process before the cache is saved.
    std::signal(SIGXFSZ, SIG_IGN);
    const start_options options = read_options(argc, argv);
    // What a reload starts from: the defaults and the command line.
    const settings_record baseline = settings;

    open_syslog();
    set_log_echo(errors_seen_on_stderr());
    raise_descriptor_limit();
    drop_privileges(options);
    if (options.check_only) {
        set_log_sink(no_log);  // the reader's debug lines; problems go to stderr
        return check_config(options.config_path.c_str(), baseline);
    }
    if (getuid() == 0 || geteuid() == 0) {
        // Shown like the refusals of the command line, and logged.
        log_msg(LOG_ERR, "kelvantor cannot run as root");
        if (!errors_seen_on_stderr()) std::fputs("kelvantor cannot run as root\n", stderr);
        std::exit(exit_status::not_permitted);
    }
    std::memset(helo_name, 0, helo_name_size);
    if (gethostname(helo_name, helo_name_size) != 0) unavailable("gethostname failed");

    route_list_clear();
    exemption_lists_clear();
    parse_config(options.config_path.c_str());
    add_skip_defaults();
    // What is negotiated with the MTA is fixed for the life of the process.
    filter_use_fast_path(settings.milter_fast_path);
    if (smfi_register(filter_desc) == MI_FAILURE) unavailable("smfi_register failed");
    if (route_list_empty()) {
        log_msg(LOG_ERR, "BackAddrDomain not defined");
        std::exit(exit_status::configuration);
    }
    const int error = verdict_cache_init(settings.valid_ttl, settings.invalid_ttl);
    if (error != 0) {
        log_msg(LOG_ERR, "pthread_rwlock_init failed: %s", std::strerror(error));
        std::exit(exit_status::configuration);
    }
    // Operations: the bound is in force for the verdicts loaded from the file too.
    verdict_cache_set_bound(settings.cache_max_entries);
    const char* cache_path = settings.cache_path ? settings.cache_path->c_str() : nullptr;
    // As the run user, before any save: what an earlier process left half-written goes.
    cache_remove_stale_files(cache_path);
    cache_load(cache_path);

    if (options.daemon_mode) daemonize(options.pid_path.c_str());

    // Metrics: the listener thread starts after the privilege switch and the
    // fork of daemon mode (threads do not survive a fork); a port it cannot
    // bind ends start-up.
    if (settings.metrics_listen && !metrics_server_start(*settings.metrics_listen)) {
        if (options.daemon_mode) unlink(options.pid_path.c_str());
        std::exit(exit_status::unavailable);
    }

    umask(options.group_given ? 0117 : 0177);
    // Operations: the control socket and the periodic saves start after the
    // fork of daemon mode (threads do not survive it) and stop before the
    // final save.
    reload_prepare(options.config_path, baseline);
    if (settings.control_socket) {
        control_config control;
        control.socket_path = *settings.control_socket;
        control.group_access = options.group_given;
        control.cache_path = cache_path;
        control.subdomains = settings.subdomains;
        control.reload = [](std::string& why) { return reload_configuration(&why); };
        if (!control_start(control)) stop_services_and_exit(options, exit_status::configuration);
    }
    periodic_save_start(cache_path, std::chrono::seconds(settings.save_interval));
    set_cache_save_interval(cache_path != nullptr ? settings.save_interval : 0);
    if (settings.shared_cache_wanted() && !shared_store_start(shared_store_configuration())) {
        stop_services_and_exit(options, exit_status::unavailable);
    }
    set_process_info(
        program_version,
        std::chrono::floor<std::chrono::seconds>(wall_now().time_since_epoch()).count());
    reload_on_sighup();
    set_log_echo(false);  // from here on syslog alone
    const int result = smfi_main();
    // Idle pooled conversations are ended, and backend conversations still
    // being ended get a second, then are dropped.
    backend_pools_stop();
    backend_closer().stop(std::chrono::seconds(1));
    shared_store_stop();
    metrics_server_stop();
    periodic_save_stop();
    control_stop();

    cache_save(cache_path, true, nullptr, rewrite_in_place::where_no_new_file);
    unlink(options.pid_path.c_str());
    log_msg(LOG_INFO, "Exit");
    return result;
}

}  // namespace kelvantor
