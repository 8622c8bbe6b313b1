// The pool of one backend server against the test backend: waiting probes
// served in arrival order and never past their deadline, a conversation
// that holds unasked bytes dropped rather than reused, and the limits that
// end a pooled conversation politely.
#include "backend/pool.h"

#include <poll.h>
#include <syslog.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend/closer.h"
#include "backend/socket_io.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/test_backend.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using testing::backend_script;
using testing::eventually;
using testing::log_capture;
using testing::test_backend;
using steady = std::chrono::steady_clock;

constexpr conversation_timeouts short_waits{1500ms, 2s};

// A lease with a greeted conversation on backend.
pool_lease greeted(backend_pool& pool, const test_backend& backend) {
    pool_lease lease = pool.take(1, steady::now() + 5s);
    EXPECT_TRUE(lease);
    if (lease && !lease.conversation().is_open()) {
        EXPECT_EQ(
            lease.conversation().open({backend.address(), backend.port()}, short_waits, "gw.test"),
            open_result::opened);
    }
    return lease;
}

std::size_t count_of(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST(backend_pool, WaitersAreServedInArrivalOrderAndNeverPastTheirDeadline) {
    test_backend backend;
    backend_pool pool;
    pool_lease first = greeted(pool, backend);

    // Held by the first: a probe with 100 ms to go gets nothing, in about that time.
    const auto start = steady::now();
    EXPECT_FALSE(pool.take(1, start + 100ms));
    EXPECT_GE(steady::now() - start, 100ms);
    EXPECT_LT(steady::now() - start, 5s);

    std::mutex order_mutex;
    std::vector<int> order;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&, i] {
            pool_lease lease = pool.take(1, steady::now() + 20s);
            ASSERT_TRUE(lease);
            EXPECT_TRUE(lease.conversation().is_open());
            EXPECT_EQ(lease.conversation().rcpt("user@dom.test"), rcpt_outcome::accepted);
            const std::lock_guard lock(order_mutex);
            order.push_back(i);
        });
        // The next one arrives only once this one waits.
        ASSERT_TRUE(eventually([&] { return pool.counts().waiting == std::size_t(i) + 1; }));
    }
    first = pool_lease();  // given back: the waiters take it in turn
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(backend.connections(), 1);
    EXPECT_EQ(pool.counts().held, 1u);
    EXPECT_EQ(pool.counts().idle, 1u);
}

TEST(backend_pool, ConversationWithUnaskedBytesIsDroppedNotReused) {
    test_backend backend;
    log_capture log;
    backend_pool pool;
    int fd = -1;
    {
        pool_lease lease = greeted(pool, backend);
        // A reply nobody will read comes in while the conversation is idle.
        fd = lease.conversation().fd();
        ASSERT_EQ(write_all(fd, "NOOP\r\n", 6), 6);
        pollfd entry{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&entry, 1, 10'000), 1);
    }
    pool_lease again = pool.take(1, steady::now() + 5s);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again.conversation().is_open());  // a place to open a new one
    EXPECT_TRUE(log.contains(LOG_ERR, "backend reply out of step on fd " + std::to_string(fd)))
        << log.dump();
    ASSERT_TRUE(backend.wait_for_finished(1, 10s));
    EXPECT_EQ(count_of(backend.lines(), "RCPT TO:<user@dom.test>"), 0u);
    EXPECT_EQ(count_of(backend.lines(), "QUIT"), 0u);  // dropped, not quit
    EXPECT_EQ(pool.counts().held, 1u);
}

TEST(backend_pool, LimitsEndConversationsWithRsetAndQuit) {
    struct limit_case {
        const char* name;
        int probes;
        std::string reply;
        bool reap;  // ended by the idle time, not when given back
        bool quit;  // RSET and QUIT sent
    };
    const limit_case cases[] = {
        {"recipient limit", 3, "250 2.1.5 Ok\r\n", false, true},
        {"refusal limit", 2, "550 5.1.1 unknown\r\n", false, true},
        {"deferrals count as refusals", 2, "451 4.3.0 try later\r\n", false, true},
        {"idle time", 1, "250 2.1.5 Ok\r\n", true, true},
        {"421 ends at once", 1, "421 4.7.0 closing\r\n", false, false},
    };
    for (const limit_case& c : cases) {
        SCOPED_TRACE(c.name);
        backend_script script;
        script.rcpt_reply = [&c](const std::string&) { return c.reply; };
        test_backend backend(script);
        backend_pool pool({10s, 3, 2});
        {
            pool_lease lease = greeted(pool, backend);
            for (int i = 0; i < c.probes; ++i) lease.conversation().rcpt("u@dom.test");
        }
        EXPECT_EQ(pool.counts().idle, c.reap ? 1u : 0u);
        pool.reap(steady::now() + 5s);  // within the idle time: kept
        EXPECT_EQ(pool.counts().idle, c.reap ? 1u : 0u);
        if (c.reap) pool.reap(steady::now() + 10s);
        ASSERT_TRUE(backend.wait_for_finished(1, 10s));
        ASSERT_TRUE(backend_closer().wait_idle(10s));
        EXPECT_EQ(count_of(backend.lines(), "RSET"), c.quit ? 1u : 0u);
        EXPECT_EQ(count_of(backend.lines(), "QUIT"), c.quit ? 1u : 0u);
        EXPECT_EQ(pool.counts().held, 0u);  // its place is free again
        EXPECT_EQ(pool.counts().idle, 0u);
    }
}

}  // namespace
}  // namespace kelvantor
