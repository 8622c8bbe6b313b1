#include "backend/catch_all.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

#include "backend/server_health.h"

namespace kelvantor {
namespace {

using clock_type = std::chrono::steady_clock;

struct mark {
    catch_all_state state = catch_all_state::unknown;
    clock_type::time_point until;
};

using mark_key = std::pair<std::string, std::string>;  // lower-cased domain, server name

struct mark_table {
    std::mutex mutex;
    std::map<mark_key, mark> marks;
};

mark_table& table() {
    static mark_table instance;
    return instance;
}

mark_key key_of(const backend_server& server, std::string_view domain) {
    std::string lower(domain);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return {std::move(lower), name_of(server).text};
}

}  // namespace

catch_all_state catch_all_lookup(const backend_server& server, std::string_view domain) {
    const mark_key key = key_of(server, domain);
    mark_table& t = table();
    const std::lock_guard lock(t.mutex);
    const auto found = t.marks.find(key);
    if (found == t.marks.end()) return catch_all_state::unknown;
    if (found->second.until <= clock_type::now()) {
        t.marks.erase(found);
        return catch_all_state::unknown;
    }
    return found->second.state;
}

bool catch_all_mark(const backend_server& server, std::string_view domain, catch_all_state state,
                    clock_type::duration life) {
    mark_key key = key_of(server, domain);
    const clock_type::time_point now = clock_type::now();
    mark_table& t = table();
    const std::lock_guard lock(t.mutex);
    auto found = t.marks.find(key);
    const bool was_accepting = found != t.marks.end() &&
                               found->second.state == catch_all_state::accepts_any &&
                               found->second.until > now;
    if (found == t.marks.end() && t.marks.size() >= catch_all_max_entries) {
        // Room for the new mark: the one that ends first goes.
        t.marks.erase(std::min_element(
            t.marks.begin(), t.marks.end(),
            [](const auto& a, const auto& b) { return a.second.until < b.second.until; }));
    }
    t.marks[std::move(key)] = {state, now + life};
    return state == catch_all_state::accepts_any && !was_accepting;
}

std::string catch_all_local_part() {
    constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, 16> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return {};
        }
        got += static_cast<std::size_t>(n);
    }
    std::string part = "kvprobe";
    // A slight bias to the first letters does not matter: it needs only be unguessable.
    for (const unsigned char b : bytes) part += alphabet[b % alphabet.size()];
    return part;
}

std::vector<catch_all_view> catch_all_report() {
    std::vector<catch_all_view> report;
    const clock_type::time_point now = clock_type::now();
    mark_table& t = table();
    const std::lock_guard lock(t.mutex);
    for (const auto& [key, value] : t.marks) {
        if (value.until <= now) continue;
        report.push_back({key.first, key.second, value.state, value.until - now});
    }
    return report;
}

std::size_t catch_all_accepting_count() {
    const clock_type::time_point now = clock_type::now();
    mark_table& t = table();
    const std::lock_guard lock(t.mutex);
    return static_cast<std::size_t>(
        std::count_if(t.marks.begin(), t.marks.end(), [&](const auto& m) {
            return m.second.state == catch_all_state::accepts_any && m.second.until > now;
        }));
}

void catch_all_reset() noexcept {
    mark_table& t = table();
    const std::lock_guard lock(t.mutex);
    t.marks.clear();
}

}  // namespace kelvantor
