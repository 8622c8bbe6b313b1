// Catch-all backends: the domains a server accepts any recipient of, found
// by a RCPT TO of a random local part before the first real probe, and the
// domains it was seen to refuse such a recipient of (checked).  Each mark
// lives for the valid lifetime; the map is keyed by server and lower-cased
// domain and bounded (the oldest marks go first).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backend/conversation.h"

namespace kelvantor {

enum class catch_all_state { unknown, accepts_any, checked };

// The mark of domain at server, unknown when none or expired.
catch_all_state catch_all_lookup(const backend_server& server, std::string_view domain);
// Marks domain at server for life; true when it was not accepts_any before.
bool catch_all_mark(const backend_server& server, std::string_view domain, catch_all_state state,
                    std::chrono::steady_clock::duration life);

// A random local part no person has: "kvprobe" and 16 letters and digits;
// empty when the kernel gave no random bytes.
std::string catch_all_local_part();

struct catch_all_view {
    std::string domain;
    std::string server;  // name_of(server).text
    catch_all_state state = catch_all_state::unknown;
    std::chrono::steady_clock::duration remaining{};
};
// The marks in force, sorted by domain and server.
std::vector<catch_all_view> catch_all_report();
// The domains marked accepts_any now.
std::size_t catch_all_accepting_count();
// The most marks held.
inline constexpr std::size_t catch_all_max_entries = 10000;
// Every mark dropped (tests).
void catch_all_reset() noexcept;

}  // namespace kelvantor
