// The background closer against the test backend: RSET and QUIT in that
// order, a backend that never answers holds up only its own close, and a
// full queue or the stop closes sockets without a word, counted.
#include "backend/closer.h"

#include <syslog.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/socket_io.h"
#include "support/log_capture.h"
#include "support/test_backend.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using testing::backend_script;
using testing::log_capture;
using testing::test_backend;
using steady = std::chrono::steady_clock;

// A connection to backend whose banner has been read, as a conversation leaves it.
unique_fd greeted(const test_backend& backend) {
    backend_socket opened = backend_open(backend.port(), 1500ms, backend.address());
    EXPECT_EQ(opened.status, connect_status::connected);
    unique_fd fd = std::move(opened.fd);
    reply_buffer banner;
    EXPECT_EQ(read_reply(fd.get(), banner, 2s).status, reply_status::complete);
    return fd;
}

backend_script teardown_silent() {
    backend_script script;
    script.rset_reply.clear();
    script.quit_reply.clear();
    script.close_after_quit = false;
    return script;
}

TEST(conversation_closer, TakesAtOnceAndAStalledBackendHoldsUpOnlyItsOwnClose) {
    backend_script no_rset;
    no_rset.rset_reply.clear();  // QUIT is answered
    test_backend stalled(no_rset);
    test_backend working;
    log_capture log;
    conversation_closer closer;

    const auto start = steady::now();
    closer.take(greeted(stalled), 1s);
    closer.take(greeted(working), 1s);
    EXPECT_LT(steady::now() - start, 200ms) << "take() never waits for the backend";

    ASSERT_TRUE(working.wait_for_finished(1, 800ms)) << "not held up by the stalled close";
    EXPECT_EQ(working.lines(), (std::vector<std::string>{"RSET", "QUIT"}));

    ASSERT_TRUE(stalled.wait_for_finished(1, 5s));
    EXPECT_EQ(stalled.lines(), (std::vector<std::string>{"RSET", "QUIT"}))
        << "QUIT still goes out after an unanswered RSET";
    ASSERT_TRUE(closer.wait_idle(5s));
    const closer_counts counts = closer.counts();
    EXPECT_EQ(counts.done, 1U);
    EXPECT_EQ(counts.unanswered, 1U);
    EXPECT_EQ(counts.dropped, 0U);
    EXPECT_EQ(counts.pending, 0U);
    EXPECT_TRUE(log.contains(LOG_ERR, "cannot read RSET reply")) << log.dump();
}

TEST(conversation_closer, FullQueueAndStopCloseWithoutAWordAndCount) {
    test_backend silent(teardown_silent());
    log_capture log;
    conversation_closer closer(2);
    closer.take(greeted(silent), 60s);
    closer.take(greeted(silent), 60s);
    ASSERT_TRUE(silent.wait_for_lines(2, 5s));
    closer.take(greeted(silent), 60s);  // the queue is full
    ASSERT_TRUE(silent.wait_for_finished(1, 5s)) << "dropped at once";
    closer_counts counts = closer.counts();
    EXPECT_EQ(counts.dropped, 1U);
    EXPECT_EQ(counts.pending, 2U);
    EXPECT_TRUE(
        log.contains(LOG_WARNING, "backend close queue full: 2 pending, conversations dropped"))
        << log.dump();

    const auto start = steady::now();
    closer.stop(100ms);
    EXPECT_LT(steady::now() - start, 2s) << "the grace bounds the stop";
    ASSERT_TRUE(silent.wait_for_finished(3, 5s));
    closer.take(greeted(silent), 60s);  // after the stop: dropped at once
    ASSERT_TRUE(silent.wait_for_finished(4, 5s));
    counts = closer.counts();
    EXPECT_EQ(counts.dropped, 4U);
    EXPECT_EQ(counts.pending, 0U);
    EXPECT_EQ(silent.lines(), (std::vector<std::string>{"RSET", "RSET"}))
        << "nothing sent on the dropped ones";
    EXPECT_EQ(log.count("backend close queue full: 2 pending, conversations dropped"), 1)
        << "logged once, and not for the stop";
}

}  // namespace
}  // namespace kelvantor
