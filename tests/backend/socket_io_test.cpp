// Tests of the backend connection and socket I/O against loopback peers:
// connect results and timeouts, how replies are cut at quiet gaps, block
// growth and the reply cap, and writes to peers that have gone away.
#include "backend/socket_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <syslog.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

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
    int slot = NO_BACKEND;
    const int result = backend_open(slot, port, 5000ms, testing::loopback_address(port));
    unique_fd fd(slot >= 0 ? slot : -1);
    EXPECT_EQ(result, 0) << std::strerror(errno);
    return fd;
}

std::string read_text(int fd, reply_buffer& buffer, std::chrono::seconds first_wait) {
    const int count = read_reply(fd, buffer, first_wait);
    return count > 0 ? std::string(buffer.data(), static_cast<std::size_t>(count)) : "";
}

TEST(backend_open, UnspecifiedFamilyLeavesSlotAlone) {
    log_capture log;
    int slot = 77;
    EXPECT_EQ(backend_open(slot, 25, 1000ms, sockaddr_storage{}), -3);
    EXPECT_EQ(slot, 77);
    EXPECT_TRUE(log.contains(LOG_ERR, "unspecified address family")) << log.dump();
}

TEST(backend_open, ConnectsToGivenPortAndLeavesCallersAddress) {
    raw_peer peer;
    const refusing_port stored;  // the port in the caller's address would refuse
    const sockaddr_storage address = stored.address();
    sockaddr_storage before = address;
    int slot = NO_BACKEND;
    ASSERT_EQ(backend_open(slot, peer.port(), 5000ms, address), 0) << std::strerror(errno);
    const unique_fd owner(slot);
    EXPECT_TRUE(peer.wait_accepted(10s));
    EXPECT_EQ(std::memcmp(&before, &address, sizeof address), 0);
    sockaddr_in remote{};
    socklen_t length = sizeof remote;
    ASSERT_EQ(::getpeername(slot, reinterpret_cast<sockaddr*>(&remote), &length), 0);
    EXPECT_EQ(ntohs(remote.sin_port), peer.port());
    EXPECT_NE(::fcntl(slot, F_GETFL) & O_NONBLOCK, 0);
}

TEST(backend_open, RefusedConnectLeavesSocketInSlot) {
    log_capture log;
    const refusing_port refusing;
    int slot = NO_BACKEND;
    EXPECT_EQ(backend_open(slot, refusing.port(), 5000ms, refusing.address()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    ASSERT_GE(slot, 0);
    const unique_fd owner(slot);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(backend_open, UnansweredConnectTimesOutAfterMilliseconds) {
    const full_listener listener;
    // 1500 is 1 s and 500 ms, not 1 s; 0 is a single poll.
    for (const auto timeout : {0ms, 300ms, 1500ms}) {
        SCOPED_TRACE(timeout.count());
        int slot = NO_BACKEND;
        const auto start = clock_type::now();
        EXPECT_EQ(backend_open(slot, listener.port(), timeout, listener.address()), -1);
        EXPECT_EQ(errno, ETIMEDOUT);
        const auto elapsed = clock_type::now() - start;
        const unique_fd owner(slot);
        EXPECT_GE(elapsed, timeout - 5ms);
        EXPECT_LT(elapsed, timeout + 10s);
    }
}

struct whole_reply_case {
    const char* name;
    std::size_t length;
    raw_end end;
    int count;
    std::size_t block_size;
};

TEST(socket_read, WholeRepliesAndBlockGrowth) {
    const whole_reply_case cases[] = {
        {"four bytes", 4, raw_end::stay_open, 4, 1024},
        {"exactly one block", 1024, raw_end::stay_open, 1024, 1024},
        {"3000 at once", 3000, raw_end::stay_open, 3000, 5120},
        {"sent, then closed", 9, raw_end::close, 9, 1024},
        {"exactly the cap", reply_cap, raw_end::stay_open, static_cast<int>(reply_cap), reply_cap},
        {"the cap, then closed", reply_cap, raw_end::close, static_cast<int>(reply_cap), reply_cap},
        {"one byte over the cap", reply_cap + 1, raw_end::stay_open, REPLY_TOO_LONG, reply_cap},
        {"far over the cap", 3 * reply_cap, raw_end::stay_open, REPLY_TOO_LONG, reply_cap},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes(c.length, 'x');
        bytes.replace(0, 3, "250");
        raw_peer peer({{0ms, bytes}}, c.end);
        const unique_fd fd = open_backend(peer.port());
        // Everything queued first, so that no gap can cut the reply short.
        ASSERT_TRUE(testing::wait_queued(fd.get(), std::min(c.length, reply_cap + 1), 10s));
        log_capture log;
        reply_buffer buffer;
        const int count = read_reply(fd.get(), buffer, 5s);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(buffer.size(), c.block_size);
        if (count > 0) {
            EXPECT_EQ(std::string(buffer.data(), static_cast<std::size_t>(count)), bytes);
        }
        const std::string too_long = "backend reply too long on fd " + std::to_string(fd.get());
        EXPECT_EQ(log.contains(LOG_ERR, too_long), c.count == REPLY_TOO_LONG) << log.dump();
    }
}

TEST(socket_read, PieceWithinQuietGapJoinsReply) {
    const std::string first = "250-first\r\n";
    const std::string rest = "250 sec";  // not yet a whole reply
    raw_peer peer({{0ms, first + rest}});
    const unique_fd fd = open_backend(peer.port());
    ASSERT_TRUE(testing::wait_queued(fd.get(), first.size() + rest.size(), 10s));
    // A block that ends after the first line: the rest is taken by the next
    // wait, and the reply ends only after a quiet 100 us behind it.
    reply_buffer buffer(first.size());
    const auto start = clock_type::now();
    EXPECT_EQ(read_text(fd.get(), buffer, 10s), first + rest);
    EXPECT_GE(clock_type::now() - start, 100us);
    EXPECT_EQ(buffer.size(), first.size() + reply_growth_step);
}

TEST(socket_read, WholeReplyEndsWithoutWaitingForGap) {
    const std::string reply = "250 2.1.5 Ok\r\n";
    raw_peer peer({{0ms, reply + "221 2.0.0 Bye\r\n"}});
    const unique_fd fd = open_backend(peer.port());
    ASSERT_TRUE(testing::wait_queued(fd.get(), reply.size() + 15, 10s));
    // Both are queued; a block the size of the first makes the first read
    // end on a whole reply, which is returned without reading on.
    reply_buffer buffer(reply.size());
    EXPECT_EQ(read_text(fd.get(), buffer, 10s), reply);
    EXPECT_EQ(buffer.size(), reply.size()) << "not grown: nothing more was read";
    reply_buffer next;
    EXPECT_EQ(read_text(fd.get(), next, 10s), "221 2.0.0 Bye\r\n");
}

TEST(final_reply_line, RecognisesWholeReplies) {
    const std::pair<std::string, bool> cases[] = {
        {"250 ok\r\n", true},
        {"250\r\n", true},
        {"250\n", true},
        {"250-first\r\n250 last\r\n", true},
        {"250-first\r\n", false},
        {"250 ok", false},
        {"250 ok\r", false},
        {"", false},
        {"\n", false},
        {"25\r\n", false},
        {"hello\r\n", false},
        {"250 ok\r\nxyz\r\n", false},
        {"220 mx ESMTP\r\n", true},
        {"2a0 x\r\n", false},
    };
    for (const auto& [bytes, whole] : cases) {
        EXPECT_EQ(ends_with_final_reply_line(bytes.data(), bytes.size()), whole) << bytes;
    }
}

TEST(socket_read, GapAboveQuietGapEndsReplyAndLeavesTheRestQueued) {
    raw_peer peer({{0ms, "250-first\r\n"}, {300ms, "250 second\r\n"}});
    const unique_fd fd = open_backend(peer.port());
    reply_buffer buffer;
    EXPECT_EQ(read_text(fd.get(), buffer, 10s), "250-first\r\n");
    ASSERT_TRUE(testing::wait_queued(fd.get(), 12, 10s));
    EXPECT_EQ(read_text(fd.get(), buffer, 10s), "250 second\r\n");
}

TEST(socket_read, SilentPeerGivesZeroAfterFirstWait) {
    raw_peer peer;
    const unique_fd fd = open_backend(peer.port());
    reply_buffer buffer;
    const auto start = clock_type::now();
    EXPECT_EQ(read_reply(fd.get(), buffer, 1s), 0);
    EXPECT_GE(clock_type::now() - start, 990ms);
}

TEST(socket_descriptors, BadDescriptors) {
    log_capture log;
    reply_buffer buffer;
    EXPECT_EQ(read_reply(-1, buffer, 1s), -1);
    EXPECT_EQ(write_all(-1, "NOOP\r\n", 6), -1);
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    EXPECT_EQ(read_reply(pipe_ends[0], buffer, 1s), -1);
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
