// The stalled-backend guard: its states on a timeline of its own (no
// waiting), a real conversation stuck at HELO whose server is then refused
// at once until the stuck conversation ends, and slow but working servers
// that keep being used, trials included.
#include "backend/stall_guard.h"

#include <syslog.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "backend/server_health.h"
#include "support/log_capture.h"
#include "support/test_backend.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using admission = stall_guard::admission;
using testing::log_capture;

const backend_server server_a{testing::loopback_address(2525), 2525};
const backend_server server_b{testing::loopback_address(2526), 2526};
const stall_guard::clock::time_point t0{};

TEST(stall_guard, OpensOnAStalledWaitAndClosesWhenItEnds) {
    log_capture log;
    stall_guard guard;
    EXPECT_EQ(guard.admit(server_a, 3s, t0), admission::go);
    const auto stuck = guard.begin_wait(server_a, false, t0);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 2s), admission::go) << "not yet past the threshold";
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 4s), admission::refused);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 5s), admission::refused);
    EXPECT_EQ(guard.admit(server_b, 3s, t0 + 5s), admission::go) << "other servers are not held";
    EXPECT_TRUE(guard.refusing(server_a));
    EXPECT_EQ(log.count("circuit open for backend SMTP at 127.0.0.1 port 2525"), 1);
    EXPECT_TRUE(server_health_of(server_a).view().circuit_open) << "the gauge follows";
    EXPECT_FALSE(server_health_of(server_b).view().circuit_open);

    guard.end_wait(stuck, t0 + 6s);
    EXPECT_FALSE(guard.refusing(server_a));
    EXPECT_FALSE(server_health_of(server_a).view().circuit_open);
    EXPECT_EQ(log.count("circuit closed for backend SMTP at 127.0.0.1 port 2525"), 1);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 6s), admission::go);
}

TEST(stall_guard, OneTrialAtATimeAndClosedOnlyWhenNoStalledWaitRemains) {
    log_capture log;
    stall_guard guard;
    const auto stuck = guard.begin_wait(server_a, false, t0);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 4s), admission::refused);  // opens
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 6s), admission::refused);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 7s), admission::trial);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 8s), admission::refused) << "one per threshold";

    const auto answered_trial = guard.begin_wait(server_a, true, t0 + 7s);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 11s), admission::refused) << "the trial still waits";
    guard.end_wait(answered_trial, t0 + 11s);
    EXPECT_TRUE(guard.refusing(server_a)) << "an older wait is still stalled";

    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 11s), admission::trial);
    const auto stalled_trial = guard.begin_wait(server_a, true, t0 + 11s);
    guard.end_wait(stuck, t0 + 15s);
    EXPECT_TRUE(guard.refusing(server_a)) << "the trial has stalled too";
    guard.end_wait(stalled_trial, t0 + 16s);
    EXPECT_FALSE(guard.refusing(server_a));
    EXPECT_EQ(log.count("circuit open for backend SMTP at 127.0.0.1 port 2525"), 1);
    EXPECT_EQ(log.count("circuit closed for backend SMTP at 127.0.0.1 port 2525"), 1);
}

// A server that greets and then never answers HELO: the first conversation
// waits (its 2000 s stay), the ones after the threshold are refused at once.
TEST(stall_guard, ConversationsWithAStalledServerAreRefusedAtOnce) {
    testing::backend_script script;
    script.helo_reply = "";  // never answered
    auto backend = std::make_unique<testing::test_backend>(script);
    const backend_server server{backend->address(), backend->port()};
    const conversation_timeouts timeouts{1500ms, 1s};
    reset_slow_banner_allowance();
    log_capture log;

    std::atomic<bool> done{false};
    open_result first = open_result::opened;
    std::thread stuck([&] {
        backend_conversation conversation;
        first = conversation.open(server, timeouts, "gw.test");
        done = true;
    });
    ASSERT_TRUE(backend->wait_for_lines(1, 10s)) << "HELO sent";
    // The circuit opens only once the wait is past the threshold (5 s).
    stall_guard& guard = backend_stall_guard();
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    open_result refused = open_result::opened;
    while (refused != open_result::stalled && std::chrono::steady_clock::now() < deadline) {
        if (guard.admit(server, stall_threshold(1s, 0s), stall_guard::clock::now()) ==
            admission::refused) {
            refused = open_result::stalled;
        } else {
            std::this_thread::sleep_for(100ms);  // polling with a bound, not a race
        }
    }
    ASSERT_EQ(refused, open_result::stalled);
    const auto start = std::chrono::steady_clock::now();
    backend_conversation second;
    EXPECT_EQ(second.open(server, timeouts, "gw.test"), open_result::stalled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "refused without a wait";
    EXPECT_EQ(backend->connections(), 1) << "no connection for the refused one";
    EXPECT_FALSE(done.load());

    backend.reset();  // the server goes away: the stuck wait ends
    stuck.join();
    EXPECT_EQ(first, open_result::greeting_lost);
    EXPECT_FALSE(guard.refusing(server));
    EXPECT_TRUE(log.wait_for(LOG_INFO, "circuit closed for backend SMTP at 127.0.0.1 port " +
                                           std::to_string(server.port)))
        << log.dump();
    reset_slow_banner_allowance();
}

// HELO answered after 2 s, twice the reply timeout: well under the threshold
// of 5 s, so a second conversation that starts while the first has waited
// longer than the reply timeout is made, not refused.
TEST(stall_guard, SlowButWorkingServerKeepsTheCircuitClosed) {
    testing::backend_script script;
    script.helo_delay = 2s;
    script.rcpt_reply = [](const std::string& address) {
        return std::string(address.rfind("bad", 0) == 0 ? "550 5.1.1 unknown\r\n"
                                                        : "250 2.1.5 Ok\r\n");
    };
    testing::test_backend backend(script);
    const backend_server server{backend.address(), backend.port()};
    const conversation_timeouts timeouts{1500ms, 1s};
    reset_slow_banner_allowance();
    log_capture log;

    rcpt_outcome first = rcpt_outcome::failed;
    std::thread waiting([&] {
        backend_conversation conversation;
        if (conversation.open(server, timeouts, "gw.test") == open_result::opened) {
            first = conversation.rcpt("user@dom.test");
        }
    });
    ASSERT_TRUE(backend.wait_for_lines(1, 10s)) << "HELO sent";
    std::this_thread::sleep_until(stall_guard::clock::now() + 1200ms);  // past the reply timeout
    backend_conversation second;
    EXPECT_EQ(second.open(server, timeouts, "gw.test"), open_result::opened);
    EXPECT_EQ(second.rcpt("bad@dom.test"), rcpt_outcome::unknown_user);
    waiting.join();
    EXPECT_EQ(first, rcpt_outcome::accepted);
    EXPECT_EQ(
        log.count("circuit open for backend SMTP at 127.0.0.1 port " + std::to_string(server.port)),
        0)
        << log.dump();
    EXPECT_EQ(slow_banner_allowance(), 0s);
}

// While an older wait stalls, a trial is let through: its HELO, answered
// after 1.5 s (past the reply timeout), is waited for as in any other
// conversation, so the trial gets its answer, raises no allowance, and does
// not close the circuit while the stalled wait remains.
TEST(stall_guard, TrialWaitsAreNotCutShort) {
    testing::backend_script script;
    script.helo_delay = 1500ms;
    testing::test_backend backend(script);
    const backend_server server{backend.address(), backend.port()};
    reset_slow_banner_allowance();
    log_capture log;
    stall_guard& guard = backend_stall_guard();
    const auto now = stall_guard::clock::now();
    const auto stuck = guard.begin_wait(server, false, now - 100s);
    ASSERT_EQ(guard.admit(server, 5s, now - 50s), admission::refused);  // opened 50 s ago

    backend_conversation trial;
    EXPECT_EQ(trial.open(server, {1500ms, 1s}, "gw.test"), open_result::opened);
    EXPECT_EQ(trial.rcpt("user@dom.test"), rcpt_outcome::accepted);
    EXPECT_EQ(slow_banner_allowance(), 0s);
    EXPECT_TRUE(guard.refusing(server)) << "the stalled wait remains";
    backend_conversation refused;
    EXPECT_EQ(refused.open(server, {1500ms, 1s}, "gw.test"), open_result::stalled);

    guard.end_wait(stuck, stall_guard::clock::now());
    EXPECT_FALSE(guard.refusing(server));
    const std::string port = std::to_string(server.port);
    EXPECT_EQ(log.count("circuit closed for backend SMTP at 127.0.0.1 port " + port), 1);
    EXPECT_EQ(log.count("circuit open for backend SMTP at 127.0.0.1 port " + port), 1);
}

}  // namespace
}  // namespace kelvantor
