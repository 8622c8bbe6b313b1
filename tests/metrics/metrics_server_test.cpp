// The listeners under pressure, in-process: scrapes with more descriptors
// open than select() can take; clients that trickle their headers, more of
// them than there are connection slots, while a scrape still answers, and
// closed at the absolute deadline however steadily they trickle; and with
// every descriptor of the process in use, the control socket's thread and
// the metrics listener stay idle and nearly silent, then serve the
// connections that waited once descriptors are free again.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "control/control.h"
#include "metrics/metrics_server.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port nothing listens on now, and the metrics server started on it.
std::uint16_t start_metrics(const metrics_server_limits& limits = {}) {
    sockaddr_in address = loopback(0);
    {
        const unique_fd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        socklen_t length = sizeof address;
        if (bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return 0;
        }
    }
    sockaddr_storage where{};
    std::memcpy(&where, &address, sizeof address);
    return metrics_server_start(where, limits) ? ntohs(address.sin_port) : 0;
}

unique_fd connect_tcp(std::uint16_t port) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = loopback(port);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fd.reset();
    }
    return fd;
}

// What arrives until the peer closes; "<no end>" appended when the bound passes first.
std::string read_until_closed(int fd, milliseconds bound) {
    const auto deadline = clock_type::now() + bound;
    std::string text;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - clock_type::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return text + "<no end>";
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string scrape(std::uint16_t port, milliseconds bound = milliseconds(2000)) {
    const unique_fd fd = connect_tcp(port);
    if (!fd) return "<no connection>";
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: kv\r\n\r\n";
    send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
    return read_until_closed(fd.get(), bound);
}

bool answered_ok(const std::string& response) {
    return response.rfind("HTTP/1.1 200", 0) == 0 &&
           response.find("kelvantor_recipients_total") != std::string::npos &&
           response.find("<no end>") == std::string::npos;
}

class listeners_test : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0); }
    void TearDown() override {
        metrics_server_stop();
        control_stop();
        filler_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    // Duplicates of standard input until n are held or the limit is reached.
    void fill(std::size_t n) {
        while (filler_.size() < n) {
            unique_fd fd(fcntl(0, F_DUPFD_CLOEXEC, 0));
            if (!fd) return;
            filler_.push_back(std::move(fd));
        }
    }
    rlimit saved_{};
    std::vector<unique_fd> filler_;
};

TEST_F(listeners_test, ScrapesWorkPastFdSetsize) {
    rlimit raised = saved_;
    if (raised.rlim_max < 2048) GTEST_SKIP() << "hard descriptor limit below 2048";
    raised.rlim_cur = 2048;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    fill(1100);
    ASSERT_EQ(filler_.size(), 1100U);
    const std::uint16_t port = start_metrics();
    ASSERT_NE(port, 0);
    const std::string response = scrape(port);
    EXPECT_TRUE(answered_ok(response)) << response;
}

TEST_F(listeners_test, TricklingClientsNeitherKeepAScrapeOutNorOutliveTheDeadline) {
    const log_capture logged;
    const std::uint16_t port = start_metrics({milliseconds(1500), 16});
    ASSERT_NE(port, 0);
    // More slow clients than slots, each with a request line and part of a header.
    std::vector<unique_fd> slow;
    for (int i = 0; i < 24; ++i) {
        slow.push_back(connect_tcp(port));
        ASSERT_TRUE(slow.back());
        const std::string start = "GET /metrics HTTP/1.1\r\nX-Slow: ";
        send(slow.back().get(), start.data(), start.size(), MSG_NOSIGNAL);
    }
    const auto scraped = clock_type::now();
    const std::string response = scrape(port);
    EXPECT_TRUE(answered_ok(response)) << response;
    EXPECT_LT(clock_type::now() - scraped, milliseconds(2000));

    // The newest slow clients keep a byte coming every 100 ms, well inside any
    // idle timeout; the absolute deadline closes them all the same.
    const auto trickle_start = clock_type::now();
    std::vector<bool> closed(slow.size(), false);
    std::size_t open = slow.size();
    while (open > 0 && clock_type::now() - trickle_start < milliseconds(4000)) {
        for (std::size_t i = 0; i < slow.size(); ++i) {
            if (closed[i]) continue;
            pollfd p{slow[i].get(), POLLIN, 0};
            char byte = 'x';
            if (poll(&p, 1, 0) > 0 && recv(slow[i].get(), &byte, 1, MSG_DONTWAIT) <= 0) {
                closed[i] = true;
                --open;
            } else {
                send(slow[i].get(), &byte, 1, MSG_NOSIGNAL);
            }
        }
        poll(nullptr, 0, 100);
    }
    EXPECT_EQ(open, 0U) << "slow clients still connected after 4 s";
    EXPECT_LT(clock_type::now() - trickle_start, milliseconds(2500));
    EXPECT_LT(logged.lines().size(), 12U) << logged.dump();
}

// The process time of the whole test process over the wait: the test
// thread only waits, so it is what the listeners' threads used.
milliseconds cpu_used_during(milliseconds wait) {
    auto used = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    const auto before = used();
    poll(nullptr, 0, static_cast<int>(wait.count()));
    return std::chrono::duration_cast<milliseconds>(used() - before);
}

TEST_F(listeners_test, OutOfDescriptorsTheListenersNeitherSpinNorFloodTheLog) {
    const log_capture logged;
    char dir[] = "/tmp/kv-exhaust.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control.sock";
    control_config config;
    config.socket_path = path;
    ASSERT_TRUE(control_start(config));
    const std::uint16_t port = start_metrics();
    ASSERT_NE(port, 0);

    // Everything the test needs later is opened now: the clients' sockets and
    // a memory file that takes standard error (libraries may write there).
    const unique_fd control_client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const unique_fd metrics_client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const unique_fd errors(memfd_create("kv-stderr", MFD_CLOEXEC));
    const unique_fd saved_stderr(fcntl(2, F_DUPFD_CLOEXEC, 0));
    ASSERT_TRUE(control_client && metrics_client && errors && saved_stderr);
    ASSERT_EQ(dup2(errors.get(), 2), 2);

    rlimit low = saved_;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    fill(256);
    ASSERT_LT(fcntl(0, F_DUPFD_CLOEXEC, 0), 0) << "descriptors left";

    sockaddr_un unix_address{};
    unix_address.sun_family = AF_UNIX;
    std::strcpy(unix_address.sun_path, path.c_str());
    ASSERT_EQ(connect(control_client.get(), reinterpret_cast<const sockaddr*>(&unix_address),
                      sizeof unix_address),
              0);
    send(control_client.get(), "purge-invalid\n", 14, MSG_NOSIGNAL);
    const sockaddr_in tcp_address = loopback(port);
    ASSERT_EQ(connect(metrics_client.get(), reinterpret_cast<const sockaddr*>(&tcp_address),
                      sizeof tcp_address),
              0);
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    send(metrics_client.get(), request.data(), request.size(), MSG_NOSIGNAL);

    const milliseconds cpu = cpu_used_during(milliseconds(2000));
    filler_.clear();
    setrlimit(RLIMIT_NOFILE, &saved_);
    dup2(saved_stderr.get(), 2);
    struct stat written {};
    fstat(errors.get(), &written);

    EXPECT_LT(cpu, milliseconds(200)) << "CPU time of the listeners in 2 s out of descriptors";
    EXPECT_LT(written.st_size, 1024) << "bytes written to standard error";
    EXPECT_LE(logged.lines().size(), 4U) << logged.dump();
    // Descriptors free again: both waiting clients are served.
    EXPECT_EQ(read_until_closed(control_client.get(), milliseconds(5000)), "purged 0\n");
    EXPECT_TRUE(answered_ok(read_until_closed(metrics_client.get(), milliseconds(5000))))
        << logged.dump();
    control_stop();
    rmdir(dir);
}

}  // namespace
}  // namespace kelvantor::testing
