// The control socket's server thread and its line protocol.
#include "control/control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "backend/catch_all.h"
#include "backend/server_health.h"
#include "cache/cache_file.h"
#include "cache/verdict_cache.h"
#include "common/listening.h"
#include "common/log.h"
#include "common/quiet_thread.h"
#include "common/unique_fd.h"
#include "metrics/metrics.h"
#include "routing/routes.h"
#include "shared/shared_store.h"

namespace kelvantor {
namespace {

std::string with_line_end(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

// "purged N" for the verdicts removed here; with a shared store, a second
// line for what it removed there, or that it could not be reached.
std::string purged(std::size_t count, std::optional<shared_purge_result> shared = std::nullopt) {
    std::string answer = "purged " + std::to_string(count) + "\n";
    if (shared) {
        answer += shared->reached ? "shared purged " + std::to_string(shared->removed) + "\n"
                                  : std::string("shared unavailable\n");
    }
    return answer;
}

std::string verdict_word(std::uint32_t status) {
    return status == VERDICT_VALID     ? "valid"
           : status == VERDICT_INVALID ? "invalid"
                                       : "status" + std::to_string(status);
}

// With a shared store the answer says where the verdict is: "in-process"
// (this filter holds it) or "shared" (only the store does; its remaining
// lifetime as this filter would judge it).
std::string lookup_answer(std::string_view address) {
    const bool shared = shared_store_enabled();
    if (const std::optional<verdict_view> seen = verdict_inspect(address)) {
        return verdict_word(seen->status) + " " + std::to_string(seen->age) + " " +
               std::to_string(seen->remaining) + (shared ? " in-process\n" : "\n");
    }
    if (shared) {
        if (const auto found = shared_lookup(address)) {
            const std::int64_t remaining = verdict_lifetime(found->status) - found->age;
            if (remaining >= 0) {
                return verdict_word(found->status) + " " + std::to_string(found->age) + " " +
                       std::to_string(remaining) + " shared\n";
            }
        }
    }
    return "none\n";
}

std::optional<shared_purge_result> shared_purge_of(const shared_predicate& remove,
                                                   purge_notice notice) {
    if (!shared_store_enabled()) return std::nullopt;
    return shared_purge_if(remove, notice);
}

std::string purge_answer(std::string_view address) {
    const std::size_t here = verdict_purge(address);
    return purged(here,
                  shared_store_enabled() ? std::optional(shared_purge(address)) : std::nullopt);
}

std::string purge_domain_answer(std::string_view domain, bool subdomains) {
    auto matches = [domain, subdomains](std::uint32_t, std::string_view address) {
        return domain_matches(domain_of(address), domain, subdomains);
    };
    const std::size_t here = verdict_purge_if(matches);
    return purged(
        here,
        shared_purge_of(
            matches, {subdomains ? push_kind::purge_subdomains : push_kind::purge_domain, domain}));
}

std::string purge_invalid_answer() {
    auto invalid = [](std::uint32_t status, std::string_view) { return status == VERDICT_INVALID; };
    const std::size_t here = verdict_purge_if(invalid);
    return purged(here, shared_purge_of(invalid, {push_kind::purge_invalid, {}}));
}

// One line per backend server: "ADDRESS:PORT circuit open|closed probes N
// no-reply K unreachable M last-error none", or "last-error AGE TEXT" with
// the seconds since the server's last failure and what it was.
std::string backends_answer() {
    std::string answer;
    for (const server_health_view& server : server_health_report()) {
        const auto& probes = server.probes;
        const std::uint64_t sent = probes[static_cast<std::size_t>(probe_reply::accepted)] +
                                   probes[static_cast<std::size_t>(probe_reply::unknown)] +
                                   probes[static_cast<std::size_t>(probe_reply::other)] +
                                   probes[static_cast<std::size_t>(probe_reply::no_reply)];
        answer += server.name + (server.circuit_open ? " circuit open" : " circuit closed") +
                  " probes " + std::to_string(sent) + " no-reply " +
                  std::to_string(probes[static_cast<std::size_t>(probe_reply::no_reply)]) +
                  " unreachable " +
                  std::to_string(probes[static_cast<std::size_t>(probe_reply::unreachable)]) +
                  " last-error ";
        if (server.last_error == nullptr) {
            answer += "none\n";
            continue;
        }
        answer += std::to_string(
                      std::chrono::duration_cast<std::chrono::seconds>(server.error_age).count()) +
                  " " + server.last_error;
        if (server.last_errno != 0) answer += std::string(": ") + std::strerror(server.last_errno);
        answer += "\n";
    }
    return answer.empty() ? "none\n" : answer;
}

// One line per marked domain: "DOMAIN SERVER accepts-any|checked REMAINING",
// the seconds the mark has left.
std::string catch_all_answer() {
    std::string answer;
    for (const catch_all_view& mark : catch_all_report()) {
        answer += mark.domain + " " + mark.server +
                  (mark.state == catch_all_state::accepts_any ? " accepts-any " : " checked ") +
                  std::to_string(
                      std::chrono::duration_cast<std::chrono::seconds>(mark.remaining).count()) +
                  "\n";
    }
    return answer.empty() ? "none\n" : answer;
}

std::string save_answer(const char* path) {
    if (path == nullptr) return "error no cache file configured\n";
    std::size_t saved = 0;
    if (cache_save(path, false, &saved) != 0) return "error save failed (see the log)\n";
    return "saved " + std::to_string(saved) + "\n";
}

std::string reload_answer(const control_config& config) {
    if (!config.reload) return "error reload not available\n";
    std::string why;
    if (config.reload(why)) return "reloaded\n";
    return "error not reloaded: " + why + "\n";
}

// Where the text of an answer goes; false when it could not leave.
using answer_sink = std::function<bool(std::string_view)>;

// The verdicts of the class (all: none) as the lines a save writes, copied a
// chunk at a time under the cache lock and handed to write with no lock
// held, then "dumped N"; false when write gave up.
bool dump_verdicts(std::optional<std::uint32_t> only, const answer_sink& write) {
    struct dump_state {
        std::optional<std::uint32_t> only;
        const answer_sink& write;
        std::string pending;
        std::size_t count = 0;
        bool sent = true;
    } dump{only, write, {}};
    verdict_walk_chunks(
        [](void* context, std::uint32_t status, const char* address) {
            auto& d = *static_cast<dump_state*>(context);
            if ((!d.only || *d.only == status) && cache_format_line(status, address, d.pending)) {
                ++d.count;
            }
            return false;
        },
        [](void* context) {
            auto& d = *static_cast<dump_state*>(context);
            d.sent = d.pending.empty() || d.write(d.pending);
            d.pending.clear();
            return d.sent;
        },
        &dump);
    if (!dump.sent) return false;
    dump.pending += "dumped " + std::to_string(dump.count) + "\n";
    return dump.write(dump.pending);
}

// The class a dump's argument names: none for both, or false for a bad one.
bool dump_class(std::string_view argument, std::optional<std::uint32_t>& only) {
    if (argument.empty()) return true;
    if (argument == "valid") only = VERDICT_VALID;
    if (argument == "invalid") only = VERDICT_INVALID;
    return only.has_value();
}

// The lines of an import, taken as they arrive: each is read as the cache
// file loader reads a line, a verdict added as learnt now.
class verdict_import {
public:
    explicit verdict_import(std::size_t line_limit) : line_limit_(line_limit) {}

    // Takes the bytes; false once the line limit is reached (what follows is not read).
    bool feed(std::string_view bytes) {
        while (!bytes.empty()) {
            if (lines_ >= line_limit_) return false;
            const std::size_t end = bytes.find('\n');
            const std::string_view piece = bytes.substr(0, end);
            if (!overlong_) {
                partial_.append(piece);
                // Longer than any line the loader takes: skipped whole.
                if (partial_.size() > line_room) {
                    overlong_ = true;
                    partial_.clear();
                }
            }
            if (end == std::string_view::npos) return true;
            partial_ += '\n';
            take_line();
            bytes.remove_prefix(end + 1);
        }
        return true;
    }

    // The last line, when the bytes ended without a line end.
    void finish() {
        if (!partial_.empty() || overlong_) take_line();
    }

    std::string counts() const {
        return "imported " + std::to_string(imported_) + " skipped " + std::to_string(skipped_);
    }

private:
    // The most characters before a line end that a line the loader takes can have.
    static constexpr std::size_t line_room = 509;

    void take_line() {
        ++lines_;
        const std::optional<cache_file_entry> entry =
            overlong_ ? std::nullopt : cache_parse_line(partial_);
        if (entry) {
            verdict_add(entry->address, entry->status);
            ++imported_;
        } else {
            ++skipped_;
        }
        partial_.clear();
        overlong_ = false;
    }

    std::size_t line_limit_;
    std::string partial_;
    bool overlong_ = false;
    std::size_t lines_ = 0;
    std::size_t imported_ = 0;
    std::size_t skipped_ = 0;
};

// A request split into its command and its argument (blanks around it dropped).
struct request_parts {
    std::string_view command;
    std::string_view argument;
};

request_parts split_request(std::string_view request) {
    if (!request.empty() && request.back() == '\r') request.remove_suffix(1);
    const auto blank = request.find(' ');
    std::string_view argument = blank == std::string_view::npos ? "" : request.substr(blank + 1);
    while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
    while (!argument.empty() && argument.back() == ' ') argument.remove_suffix(1);
    return {request.substr(0, blank), argument};
}

// ---- the server ----------------------------------------------------------

struct server_state {
    control_config config;
    unique_fd listener;
    unique_fd wake_read;
    unique_fd wake_write;
    std::thread thread;
};
std::optional<server_state> server;

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for the descriptor (or the stop pipe); false at the deadline or stop.
bool wait_for(int fd, short events, int wake, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
        const int ready = poll(fds, 2, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || fds[1].revents != 0) return false;
        return true;
    }
}

// False when the text did not all leave by the deadline.
bool send_all(int fd, std::string_view text, int wake,
              std::chrono::steady_clock::time_point deadline) {
    while (!text.empty()) {
        const ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            text.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!wait_for(fd, POLLOUT, wake, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads one request line; the answer to give when there is none to act on.
// What came after its line end is left in rest.
std::optional<std::string> read_request(int fd, int wake,
                                        std::chrono::steady_clock::time_point deadline,
                                        std::string& line, std::string& rest) {
    char buffer[control_line_limit + 1];
    for (;;) {
        if (!wait_for(fd, POLLIN, wake, deadline)) return "error timeout\n";
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0)
            return line.empty() ? std::optional<std::string>("error empty request\n")
                                : std::nullopt;
        line.append(buffer, static_cast<std::size_t>(got));
        if (const auto end = line.find('\n'); end != std::string::npos) {
            rest = line.substr(end + 1);
            line.resize(end);
            if (line.size() > control_line_limit) return "error line too long\n";
            return std::nullopt;
        }
        if (line.size() > control_line_limit) return "error line too long\n";
    }
}

// Reads the lines of an import up to the client's end of sending, each read
// within the client wait, the whole within the import's own; the answer.
std::string import_answer(int fd, const std::string& first, const server_state& state) {
    verdict_import import(state.config.import_line_limit);
    const auto whole = std::chrono::steady_clock::now() + state.config.import_wait;
    bool more = import.feed(first);
    char buffer[65536];
    while (more) {
        const auto deadline =
            std::min(whole, std::chrono::steady_clock::now() + state.config.client_wait);
        if (!wait_for(fd, POLLIN, state.wake_read.get(), deadline)) {
            return "error timeout: " + import.counts() + "\n";
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got < 0) return "error read failed: " + import.counts() + "\n";
        if (got == 0) {
            import.finish();
            return import.counts() + "\n";
        }
        more = import.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    return "error more than " + std::to_string(state.config.import_line_limit) +
           " lines: " + import.counts() + "\n";
}

void serve_client(int fd, const server_state& state) {
    const int wake = state.wake_read.get();
    const auto deadline = std::chrono::steady_clock::now() + state.config.client_wait;
    std::string line;
    std::string rest;
    std::string answer;
    try {
        if (auto refusal = read_request(fd, wake, deadline, line, rest)) {
            answer = std::move(*refusal);
        } else if (const request_parts parts = split_request(line);
                   parts.command == "import" && parts.argument.empty()) {
            answer = import_answer(fd, rest, state);
        } else if (std::optional<std::uint32_t> only;
                   parts.command == "dump" && dump_class(parts.argument, only)) {
            // Each chunk has the client wait to leave: a client that stops
            // reading ends the dump there.
            dump_verdicts(only, [&](std::string_view text) {
                return send_all(fd, text, wake,
                                std::chrono::steady_clock::now() + state.config.client_wait);
            });
            return;
        } else {
            answer = control_answer(line, state.config);
        }
    } catch (const std::bad_alloc&) {
        answer = "error out of memory\n";
    }
    // A fresh allowance for the answer: the request may have used up most of its own.
    send_all(fd, answer, wake, std::chrono::steady_clock::now() + state.config.client_wait);
}

void serve(server_state& state) {
    acceptor accepting(state.listener.get(), state.wake_read.get(), "control socket");
    unique_fd client;
    for (;;) {
        const accept_outcome outcome = accepting.next(std::chrono::milliseconds(-1), client);
        if (outcome == accept_outcome::stopped) return;
        if (outcome == accept_outcome::accepted) serve_client(client.get(), state);
        client.reset();
    }
}

bool fail(const char* what, const std::string& path) {
    log_msg(LOG_ERR, "control socket %s: %s: %s", path.c_str(), what, std::strerror(errno));
    return false;
}

}  // namespace

std::string control_answer(std::string_view request, const control_config& config) {
    const auto [command, argument] = split_request(request);
    if (command == "dump") {
        std::optional<std::uint32_t> only;
        if (!dump_class(argument, only)) return "error dump takes valid or invalid\n";
        std::string answer;
        dump_verdicts(only, [&answer](std::string_view text) {
            answer += text;
            return true;
        });
        return answer;
    }
    const bool wants_argument =
        command == "lookup" || command == "purge" || command == "purge-domain";
    const bool takes_none = command == "purge-invalid" || command == "save" || command == "stats" ||
                            command == "metrics" || command == "reload" || command == "import" ||
                            command == "backends" || command == "catch-all";
    if (!wants_argument && !takes_none) return "error unknown command\n";
    if (wants_argument && argument.empty()) return "error missing argument\n";
    if (takes_none && !argument.empty()) return "error unexpected argument\n";

    // An import with no lines after its request line.
    if (command == "import") return "imported 0 skipped 0\n";
    if (command == "reload") return reload_answer(config);
    if (command == "lookup") return lookup_answer(argument);
    if (command == "purge") return purge_answer(argument);
    if (command == "purge-domain") return purge_domain_answer(argument, config.subdomains);
    if (command == "purge-invalid") return purge_invalid_answer();
    if (command == "save") return save_answer(config.cache_path);
    if (command == "stats") return with_line_end(stats_text());
    if (command == "backends") return backends_answer();
    if (command == "catch-all") return catch_all_answer();
    return with_line_end(metrics_text());
}

bool control_start(const control_config& config) {
    const std::string& path = config.socket_path;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return fail("cannot listen", path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // A stale socket is replaced; anything else at the path is left alone.
    struct stat existing {};
    if (lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            errno = EEXIST;
            return fail("something other than a socket is in the way", path);
        }
        if (unlink(path.c_str()) != 0) return fail("cannot remove the stale socket", path);
    }
    unique_fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) return fail("cannot create", path);
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail("cannot bind", path);
    }
    if (chmod(path.c_str(), config.group_access ? 0660 : 0600) != 0 ||
        listen(listener.get(), SOMAXCONN) != 0) {
        const int error = errno;
        unlink(path.c_str());
        errno = error;
        return fail("cannot listen", path);
    }
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        unlink(path.c_str());
        return fail("cannot make a pipe", path);
    }
    try {
        server.emplace();
        server->config = config;
        server->listener = std::move(listener);
        server->wake_read.reset(pipe_fds[0]);
        server->wake_write.reset(pipe_fds[1]);
        server->thread = start_quiet_thread(serve, std::ref(*server));
    } catch (const std::exception&) {
        server.reset();
        unlink(path.c_str());
        errno = ENOMEM;
        return fail("cannot start its thread", path);
    }
    return true;
}

void control_stop() {
    if (!server) return;
    const char stop = 'x';
    [[maybe_unused]] const ssize_t written = write(server->wake_write.get(), &stop, 1);
    if (server->thread.joinable()) server->thread.join();
    unlink(server->config.socket_path.c_str());
    server.reset();
}

}  // namespace kelvantor
