// The stalled-backend guard: its states on a timeline of its own (no
// waiting), and a real conversation stuck at HELO whose server is then
// refused at once until the stuck conversation ends.
#include "backend/stall_guard.h"

#include <syslog.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

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

    guard.end_wait(stuck, false);
    EXPECT_FALSE(guard.refusing(server_a));
    EXPECT_EQ(log.count("circuit closed for backend SMTP at 127.0.0.1 port 2525"), 1);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 6s), admission::go);
}

TEST(stall_guard, OneTrialPerThresholdAndOnlyAnAnsweredTrialCloses) {
    log_capture log;
    stall_guard guard;
    guard.begin_wait(server_a, false, t0);                              // stuck for good
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 4s), admission::refused);  // opens
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 6s), admission::refused);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 7s), admission::trial);
    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 8s), admission::refused) << "one trial at a time";

    const auto failed_trial = guard.begin_wait(server_a, true, t0 + 7s);
    guard.end_wait(failed_trial, false);
    EXPECT_TRUE(guard.refusing(server_a));

    EXPECT_EQ(guard.admit(server_a, 3s, t0 + 10s), admission::trial);
    const auto answered_trial = guard.begin_wait(server_a, true, t0 + 10s);
    guard.end_wait(answered_trial, true);
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
    // The circuit opens only once the wait is past the threshold (1 s).
    stall_guard& guard = backend_stall_guard();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    open_result refused = open_result::opened;
    while (refused != open_result::stalled && std::chrono::steady_clock::now() < deadline) {
        if (guard.admit(server, 1s, stall_guard::clock::now()) == admission::refused) {
            refused = open_result::stalled;
        } else {
            std::this_thread::sleep_for(50ms);  // polling with a bound, not a race
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

}  // namespace
}  // namespace kelvantor
