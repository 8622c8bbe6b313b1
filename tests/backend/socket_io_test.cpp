// Tests of the backend connection and socket I/O against loopback peers:
// connect results and timeouts, replies taken whole however they are split
// in time, replies that never complete or come unasked, block growth and
// the reply cap, and writes to peers that have gone away.
#include "backend/socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "support/test_backend.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using testing::full_listener;
using testing::log_capture;
using testing::raw_end;
using testing::raw_peer;
using testing::raw_step;
using testing::refusing_port;
using clock_type = std::chrono::steady_clock;

// Opens a backend connection to 127.0.0.1:port; the descriptor is owned by the result.
unique_fd open_backend(std::uint16_t port) {
    backend_socket opened = backend_open(port, 5000ms, testing::loopback_address(port));
    EXPECT_EQ(opened.status, connect_status::connected) << std::strerror(opened.error);
    return std::move(opened.fd);
}

// The reply read, or "" when the read did not give a complete one.
std::string read_text(int fd, reply_buffer& buffer, std::chrono::milliseconds wait) {
    const reply_read read = read_reply(fd, buffer, wait);
    return read.status == reply_status::complete ? std::string(buffer.data(), read.length) : "";
}

TEST(backend_open, UnspecifiedFamilyMakesNoSocket) {
    log_capture log;
    const backend_socket opened = backend_open(25, 1000ms, sockaddr_storage{});
    EXPECT_EQ(opened.status, connect_status::no_socket);
    EXPECT_FALSE(opened.fd);
    EXPECT_TRUE(log.contains(LOG_ERR, "unspecified address family")) << log.dump();
}

TEST(backend_open, ConnectsToGivenPortAndLeavesCallersAddress) {
    raw_peer peer;
    const refusing_port stored;  // the port in the caller's address would refuse
    const sockaddr_storage address = stored.address();
    sockaddr_storage before = address;
    const backend_socket opened = backend_open(peer.port(), 5000ms, address);
    ASSERT_EQ(opened.status, connect_status::connected) << std::strerror(opened.error);
    const int slot = opened.fd.get();
    EXPECT_TRUE(peer.wait_accepted(10s));
    EXPECT_EQ(std::memcmp(&before, &address, sizeof address), 0);
    sockaddr_in remote{};
    socklen_t length = sizeof remote;
    ASSERT_EQ(::getpeername(slot, reinterpret_cast<sockaddr*>(&remote), &length), 0);
    EXPECT_EQ(ntohs(remote.sin_port), peer.port());
    EXPECT_NE(::fcntl(slot, F_GETFL) & O_NONBLOCK, 0);
}

TEST(backend_open, RefusedConnectSaysWhy) {
    log_capture log;
    const refusing_port refusing;
    const backend_socket opened = backend_open(refusing.port(), 5000ms, refusing.address());
    EXPECT_EQ(opened.status, connect_status::failed);
    EXPECT_EQ(opened.error, ECONNREFUSED);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(backend_open, UnansweredConnectTimesOutAfterMilliseconds) {
    const full_listener listener;
    // 1500 is 1 s and 500 ms, not 1 s; 0 is a single poll.
    for (const auto timeout : {0ms, 300ms, 1500ms}) {
        SCOPED_TRACE(timeout.count());
        const auto start = clock_type::now();
        const backend_socket opened = backend_open(listener.port(), timeout, listener.address());
        EXPECT_EQ(opened.status, connect_status::failed);
        EXPECT_EQ(opened.error, ETIMEDOUT);
        const auto elapsed = clock_type::now() - start;
        EXPECT_GE(elapsed, timeout - 5ms);
        EXPECT_LT(elapsed, timeout + 10s);
    }
}

struct whole_reply_case {
    const char* name;
    std::size_t length;  // one line: "250", then x, then CR LF
    raw_end end;
    reply_status status;
    std::size_t block_size;
};

TEST(socket_read, WholeRepliesAndBlockGrowth) {
    const whole_reply_case cases[] = {
        {"four bytes", 4, raw_end::stay_open, reply_status::complete, 1024},
        {"exactly one block", 1024, raw_end::stay_open, reply_status::complete, 1024},
        {"3000 at once", 3000, raw_end::stay_open, reply_status::complete, 5120},
        {"sent, then closed", 9, raw_end::close, reply_status::complete, 1024},
        {"exactly the cap", reply_cap, raw_end::stay_open, reply_status::complete, reply_cap},
        {"the cap, then closed", reply_cap, raw_end::close, reply_status::complete, reply_cap},
        {"one byte over the cap", reply_cap + 1, raw_end::stay_open, reply_status::too_long,
         reply_cap},
        {"far over the cap", 3 * reply_cap, raw_end::stay_open, reply_status::too_long, reply_cap},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes(c.length, 'x');
        bytes.replace(0, 3, "250");
        bytes.replace(bytes.size() - 2, 2, c.length == 4 ? "x\n" : "\r\n");
        raw_peer peer({{0ms, bytes}}, c.end);
        const unique_fd fd = open_backend(peer.port());
        log_capture log;
        reply_buffer buffer;
        const reply_read read = read_reply(fd.get(), buffer, 5s);
        EXPECT_EQ(read.status, c.status);
        EXPECT_EQ(buffer.size(), c.block_size);
        if (read.status == reply_status::complete) {
            EXPECT_EQ(std::string(buffer.data(), read.length), bytes);
        }
        const std::string too_long = "backend reply too long on fd " + std::to_string(fd.get());
        EXPECT_EQ(log.contains(LOG_ERR, too_long), c.status == reply_status::too_long)
            << log.dump();
    }
}

// However far apart its pieces arrive within the wait, a reply is read
// whole: the first piece alone would be the next command's reply otherwise.
TEST(socket_read, PiecesApartInTimeMakeOneReply) {
    for (const std::chrono::microseconds gap : {150us, 2000us, 50000us}) {
        SCOPED_TRACE(gap.count());
        raw_peer peer(
            {{0us, "220-mx.test ESMTP\r\n"}, {gap, "220 ready"}, {gap, "\r"}, {gap, "\n"}});
        const unique_fd fd = open_backend(peer.port());
        reply_buffer buffer;
        EXPECT_EQ(read_text(fd.get(), buffer, 10s), "220-mx.test ESMTP\r\n220 ready\r\n");
    }
}

TEST(socket_read, WholeReplyEndsAtItsFinalLineWithoutWaiting) {
    // The peer stays open and silent after the reply: the read must not wait on.
    raw_peer peer({{0ms, "250-first\r\n250-second\r\n250 last\r\n"}});
    const unique_fd fd = open_backend(peer.port());
    reply_buffer buffer;
    const auto start = clock_type::now();
    EXPECT_EQ(read_text(fd.get(), buffer, 10s), "250-first\r\n250-second\r\n250 last\r\n");
    EXPECT_LT(clock_type::now() - start, 5s);
}

struct unfinished_case {
    const char* name;
    std::vector<raw_step> steps;
    raw_end end;
    reply_status status;
    bool logged_incomplete;
};

// Bytes that never become a whole reply, and bytes after a whole reply that
// nobody asked for: none of them is a reply, and each is told apart.
TEST(socket_read, UnfinishedAndUnaskedReplies) {
    const unfinished_case cases[] = {
        {"silent", {}, raw_end::stay_open, reply_status::silent, false},
        {"closed at once", {}, raw_end::close, reply_status::silent, false},
        {"continuation line only",
         {{0ms, "250-first\r\n"}},
         raw_end::stay_open,
         reply_status::incomplete,
         true},
        {"no line end", {{0ms, "250 ok"}}, raw_end::stay_open, reply_status::incomplete, true},
        {"CR only", {{0ms, "250\r"}}, raw_end::stay_open, reply_status::incomplete, true},
        {"closed mid-reply", {{0ms, "250 o"}}, raw_end::close, reply_status::incomplete, true},
        {"second line in the same piece",
         {{0ms, "250 ok\r\n250 extra\r\n"}},
         raw_end::stay_open,
         reply_status::overrun,
         false},
        {"second line right after",
         {{0ms, "250 ok\r\n"}, {0ms, "250 extra\r\n"}},
         raw_end::stay_open,
         reply_status::overrun,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        raw_peer peer(c.steps, c.end);
        const unique_fd fd = open_backend(peer.port());
        std::size_t sent = 0;
        for (const auto& step : c.steps) sent += step.bytes.size();
        // Everything the peer sends is there before the read, so the wait
        // below only runs out where no whole reply can come.
        ASSERT_TRUE(testing::wait_queued(fd.get(), sent, 10s));
        log_capture log;
        // A block of one line's size: a line sent after the reply is seen
        // by looking past it, not by reading it into the block.
        reply_buffer buffer(8);
        const auto start = clock_type::now();
        const reply_read read = read_reply(fd.get(), buffer, 300ms);
        EXPECT_EQ(read.status, c.status);
        EXPECT_LT(clock_type::now() - start, 10s);
        const std::string fd_text = std::to_string(fd.get());
        EXPECT_EQ(log.contains(LOG_ERR, "incomplete backend reply on fd " + fd_text),
                  c.logged_incomplete)
            << log.dump();
        EXPECT_EQ(log.contains(LOG_ERR, "backend reply out of step on fd " + fd_text),
                  c.status == reply_status::overrun)
            << log.dump();
        if (c.status == reply_status::overrun) {
            EXPECT_EQ(read.length, 8U);
        }
    }
}

TEST(socket_read, SilentPeerGivesNothingAfterTheWait) {
    raw_peer peer;
    const unique_fd fd = open_backend(peer.port());
    reply_buffer buffer;
    const auto start = clock_type::now();
    EXPECT_EQ(read_reply(fd.get(), buffer, 1s).status, reply_status::silent);
    EXPECT_GE(clock_type::now() - start, 990ms);
}

extern "C" void note_signal(int /*signal*/) {}

// Signals to the reading thread interrupt its waits; each wait is resumed
// with the time left, and the reply that comes later is still read whole.
TEST(socket_read, InterruptedWaitsAreResumed) {
    struct sigaction action {};
    struct sigaction old_action {};
    action.sa_handler = note_signal;  // no SA_RESTART: the wait sees EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &old_action), 0);
    raw_peer peer({{200ms, "250 late\r\n"}});
    const unique_fd fd = open_backend(peer.port());
    const pthread_t reader = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 2000 && !done.load(); ++i) {
            ::pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(1ms);  // pacing only: nothing waits on it
        }
    });
    reply_buffer buffer;
    const std::string text = read_text(fd.get(), buffer, 10s);
    done = true;
    interrupter.join();
    ::sigaction(SIGUSR1, &old_action, nullptr);
    EXPECT_EQ(text, "250 late\r\n");
}

TEST(socket_descriptors, BadDescriptors) {
    log_capture log;
    reply_buffer buffer;
    EXPECT_EQ(read_reply(-1, buffer, 1s).status, reply_status::failed);
    EXPECT_EQ(write_all(-1, "NOOP\r\n", 6), -1);
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    EXPECT_EQ(read_reply(pipe_ends[0], buffer, 1s).status, reply_status::failed);
    EXPECT_TRUE(log.contains(LOG_ERR, "clientread fail error " + std::to_string(EBADF) + " on fd " +
                                          std::to_string(pipe_ends[0])))
        << log.dump();
}

TEST(socket_descriptors, ReadAndWriteOnLowAndHighDescriptors) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= 1500) GTEST_SKIP() << "descriptor limit too low";
    for (const bool high : {false, true}) {
        SCOPED_TRACE(high ? "fd 1500" : "low fd");
        raw_peer peer({{0ms, "220 ready\r\n"}});
        unique_fd fd = open_backend(peer.port());
        if (high) fd.reset(::dup2(fd.get(), 1500));  // past what a select set holds
        reply_buffer buffer;
        EXPECT_EQ(read_text(fd.get(), buffer, 10s), "220 ready\r\n");
        EXPECT_EQ(write_all(fd.get(), "", 0), 0);
        EXPECT_EQ(write_all(fd.get(), "QUIT\r\n", 6), 6);
        EXPECT_TRUE(peer.wait_for_received(6, 10s));
        EXPECT_EQ(peer.received(), "QUIT\r\n");
    }
}

// A peer that stops reading after taking part of a write: the writer waits
// for room within its second instead of repeating send() at once, so the
// thread sleeps rather than spins.
TEST(socket_write, PartialSendWaitsForRoomWithoutSpinning) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    const unique_fd writer(pair[0]);
    const unique_fd reader(pair[1]);  // never read
    const int small = 4096;
    ::setsockopt(writer.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string bytes(1 << 20, 'x');  // far more than the buffer takes
    rusage before{};
    ::getrusage(RUSAGE_THREAD, &before);
    const auto start = clock_type::now();
    EXPECT_EQ(write_all(writer.get(), bytes.data(), static_cast<int>(bytes.size())), -1);
    const auto elapsed = clock_type::now() - start;
    rusage after{};
    ::getrusage(RUSAGE_THREAD, &after);
    const auto cpu_us = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1'000'000L + r.ru_utime.tv_usec +
               r.ru_stime.tv_usec;
    };
    EXPECT_GE(elapsed, 990ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_LT(cpu_us(after) - cpu_us(before), 300'000L) << "the writer spun";
}

TEST(socket_write, FullSendBufferWaitsOneSecondThenFails) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    const unique_fd writer(pair[0]);
    const unique_fd reader(pair[1]);  // never read
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 100000 && ::send(writer.get(), chunk.data(), chunk.size(), 0) > 0; ++i) {
    }
    ASSERT_EQ(errno, EAGAIN);
    log_capture log;
    const auto start = clock_type::now();
    EXPECT_EQ(write_all(writer.get(), "RCPT TO:<a@b>\r\n", 15), -1);
    EXPECT_GE(clock_type::now() - start, 990ms);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(write_all(writer.get(), "", 0), -1) << "not writable within the second";
}

TEST(socket_write, PeerGoneGivesEpipeWithoutSignal) {
    raw_peer peer({}, raw_end::reset);
    const unique_fd fd(testing::connect_plain(peer.port()));
    ASSERT_TRUE(fd);
    ASSERT_TRUE(peer.wait_played(10s));
    ASSERT_TRUE(testing::wait_events(fd.get(), POLLHUP | POLLERR, 10s));

    // With SIGPIPE blocked, a signal raised by the write would stay pending here.
    sigset_t pipe_only;
    sigset_t old_mask;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask), 0);
    log_capture log;
    int last_error = 0;
    // The reset is reported once (ECONNRESET); every later write gives EPIPE.
    for (int attempt = 0; attempt < 3 && last_error != EPIPE; ++attempt) {
        EXPECT_EQ(write_all(fd.get(), "RSET\r\n", 6), -1);
        last_error = errno;
    }
    sigset_t pending;
    sigpending(&pending);
    const bool raised = sigismember(&pending, SIGPIPE) == 1;
    if (raised) {
        int taken = 0;
        sigwait(&pipe_only, &taken);
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    EXPECT_EQ(last_error, EPIPE);
    EXPECT_FALSE(raised);
    EXPECT_TRUE(log.contains(LOG_ERR, "clientwrite fail error " + std::to_string(EPIPE)))
        << log.dump();
}

}  // namespace
}  // namespace kelvantor
