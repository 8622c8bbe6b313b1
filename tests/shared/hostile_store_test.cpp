// The shared verdict store against a scripted server on loopback that
// answers as a hostile or broken Redis would: a reply announcing a huge
// array costs the asking thread neither time nor CPU, and an answer nobody
// asked for (a GET answered twice) is never taken as another address's
// verdict, whether it came with the answer or later on an idle link.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cache/verdict_cache.h"
#include "common/unique_fd.h"
#include "metrics/metrics.h"
#include "shared/shared_store.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

// Answers each GET with the bytes scripted for the needle its key holds
// (nil for others) and anything else with +PONG; one thread serves
// every connection.
class scripted_store {
public:
    explicit scripted_store(std::map<std::string, std::string> answers)
        : answers_(std::move(answers)), listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof where;
        auto* address = reinterpret_cast<sockaddr*>(&where);
        if (::bind(listener_.get(), address, length) != 0 || ::listen(listener_.get(), 16) != 0 ||
            ::getsockname(listener_.get(), address, &length) != 0 || ::pipe(stop_) != 0) {
            return;
        }
        port_ = ntohs(where.sin_port);
        server_ = std::thread([this] { serve(); });
    }
    ~scripted_store() {
        if (server_.joinable()) {
            (void)!::write(stop_[1], "x", 1);
            server_.join();
        }
        for (const int fd : stop_) ::close(fd);
    }
    scripted_store(const scripted_store&) = delete;
    scripted_store& operator=(const scripted_store&) = delete;

    int port() const { return port_; }
    int connections() const { return accepted_.load(); }

    // Sends bytes unasked on the connection of the last GET, and returns
    // once the peer's kernel holds them (bounded).
    bool send_unasked(const std::string& bytes) {
        const std::lock_guard hold(mutex_);
        if (::send(last_get_, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(bytes.size())) {
            return false;
        }
        const auto until = steady_clock::now() + 5s;
        for (int unacked = 1; unacked > 0;) {
            if (::ioctl(last_get_, SIOCOUTQ, &unacked) != 0 || steady_clock::now() > until) {
                return false;
            }
            if (unacked > 0) std::this_thread::yield();
        }
        return true;
    }

private:
    struct client {
        unique_fd fd;
        std::string in;
    };

    void serve() {
        std::vector<client> clients;
        for (;;) {
            std::vector<pollfd> waited{{stop_[0], POLLIN, 0}, {listener_.get(), POLLIN, 0}};
            for (const client& c : clients) waited.push_back({c.fd.get(), POLLIN, 0});
            if (::poll(waited.data(), waited.size(), -1) <= 0 || waited[0].revents != 0) return;
            if (waited[1].revents != 0) {
                clients.push_back({unique_fd(::accept(listener_.get(), nullptr, nullptr)), {}});
                ++accepted_;
            }
            for (std::size_t i = 2; i < waited.size(); ++i) {
                if (waited[i].revents == 0) continue;
                char chunk[4096];
                const ssize_t got = ::recv(waited[i].fd, chunk, sizeof chunk, 0);
                if (got <= 0) {
                    clients[i - 2].fd.reset();
                    continue;
                }
                clients[i - 2].in.append(chunk, static_cast<std::size_t>(got));
                answer(clients[i - 2]);
            }
            std::erase_if(clients, [](const client& c) { return !c.fd; });
        }
    }

    // Answers every whole command received (RESP arrays of bulk strings).
    void answer(client& c) {
        for (;;) {
            std::vector<std::string> words;
            std::size_t at = 0;
            if (!parse(c.in, at, words)) return;
            c.in.erase(0, at);
            std::string out = "+PONG\r\n";
            if (words.size() == 2 && words[0] == "GET") {
                out = "$-1\r\n";
                for (const auto& [needle, bytes] : answers_) {
                    if (words[1].find(needle) != std::string::npos) out = bytes;
                }
                const std::lock_guard hold(mutex_);
                last_get_ = c.fd.get();
            }
            (void)::send(c.fd.get(), out.data(), out.size(), MSG_NOSIGNAL);
        }
    }

    static bool parse(const std::string& in, std::size_t& at, std::vector<std::string>& words) {
        auto line = [&](char kind, std::size_t& number) {
            const auto end = in.find("\r\n", at);
            if (end == std::string::npos || in[at] != kind) return false;
            number = std::stoul(in.substr(at + 1, end - at - 1));
            at = end + 2;
            return true;
        };
        std::size_t count = 0;
        if (!line('*', count)) return false;
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t size = 0;
            if (!line('$', size) || in.size() < at + size + 2) return false;
            words.push_back(in.substr(at, size));
            at += size + 2;
        }
        return true;
    }

    std::map<std::string, std::string> answers_;
    unique_fd listener_;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    int last_get_ = -1;
    std::thread server_;
};

std::chrono::nanoseconds thread_cpu() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

bool store_up() {
    const std::string text = stats_text();
    return text.find("\nshared_cache_up 1\n") != std::string::npos;
}

TEST(hostile_store, HugeArraysAndUnaskedAnswersCostNothingAndDecideNothing) {
    const std::string valid = "$12\r\n0 1800000000\r\n";
    const std::string invalid = "$12\r\n1 1800000000\r\n";
    scripted_store fake(
        {{"huge@", "*2147483647\r\n"}, {"twice@", valid + invalid}, {"once@", valid}});
    ASSERT_NE(fake.port(), 0);
    log_capture log;
    metrics_reset();
    ASSERT_EQ(verdict_cache_init(3600, 600), 0);
    shared_store_config config;
    config.host = "127.0.0.1";
    config.port = fake.port();
    config.prefix = "kv:";
    config.timeout = 50ms;
    config.valid_lifetime = 3600s;
    config.invalid_lifetime = 600s;
    ASSERT_TRUE(shared_store_start(config));
    ASSERT_TRUE(eventually(store_up));

    // Fourteen bytes announcing 2^31 - 1 elements: refused as they come.
    const auto cpu_before = thread_cpu();
    const auto asked = steady_clock::now();
    EXPECT_FALSE(shared_lookup("huge@example.test"));
    EXPECT_LT(steady_clock::now() - asked, config.timeout + 10ms);
    EXPECT_LT(thread_cpu() - cpu_before, 5ms);

    // Two answers in one segment: the link is out of step, nothing is taken.
    ASSERT_TRUE(eventually(store_up));
    EXPECT_FALSE(shared_lookup("twice@example.test"));
    ASSERT_TRUE(eventually(store_up));
    EXPECT_FALSE(shared_lookup("other@example.test"));

    // An unasked answer that comes while the link idles: the next lookup
    // asks on a new link and gets its own answer (none).
    ASSERT_TRUE(eventually(store_up));
    ASSERT_TRUE(shared_lookup("once@example.test"));
    ASSERT_TRUE(fake.send_unasked(invalid));
    const int links = fake.connections();
    EXPECT_FALSE(shared_lookup("other@example.test"));
    EXPECT_EQ(fake.connections(), links + 1);
    shared_store_stop();
}

}  // namespace
}  // namespace kelvantor::testing
