// The background closer: one thread, one poll over the sockets being ended
// and an eventfd that announces new ones.  Each socket goes through RSET and
// QUIT in that order; a command that cannot be sent, a reply that does not
// come whole in time, or a backend that goes away moves it on to the next
// step, so every socket is closed within two reply waits of being taken.
#include "backend/closer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "backend/reply.h"
#include "common/log.h"
#include "common/quiet_thread.h"

namespace kelvantor {

using steady = std::chrono::steady_clock;

namespace {

constexpr std::chrono::minutes full_warning_interval{1};
constexpr const char* verbs[] = {"RSET", "QUIT"};

}  // namespace

struct conversation_closer::closing {
    unique_fd fd;
    close_listener* listener = nullptr;
    std::chrono::milliseconds wait{};
    int step = 0;  // 0 RSET, 1 QUIT, 2 done
    bool answered = true;
    steady::time_point deadline{};
    reply_scanner scanner;
    std::size_t length = 0;
    std::array<char, 512> reply{};

    // Sends the current step's command; false when it did not go out.
    bool send_command() noexcept {
        char line[8];
        std::snprintf(line, sizeof line, "%s\r\n", verbs[step]);
        const ssize_t sent = ::send(fd.get(), line, 6, MSG_NOSIGNAL | MSG_DONTWAIT);
        return sent == 6;
    }

    // On to the next command, or to the end; commands that cannot be sent are passed.
    void advance(steady::time_point now) noexcept {
        for (++step; step < 2; ++step) {
            scanner = reply_scanner();
            length = 0;
            if (send_command()) {
                deadline = now + wait;
                return;
            }
            log_msg(LOG_ERR, "cannot send %s", verbs[step]);
            answered = false;
        }
    }

    void start(steady::time_point now) noexcept {
        step = -1;
        advance(now);
    }

    void unanswered(steady::time_point now) noexcept {
        log_msg(LOG_ERR, "cannot read %s reply", verbs[step]);
        answered = false;
        advance(now);
    }

    // Reads what arrived; a whole reply (or more than the block holds) ends the step.
    void receive(steady::time_point now) noexcept {
        const ssize_t got = ::recv(fd.get(), reply.data() + length, reply.size() - length, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (got <= 0) {
            unanswered(now);
            return;
        }
        length += static_cast<std::size_t>(got);
        if (scanner.scan(reply.data(), length) != reply_scanner::state::partial ||
            length == reply.size()) {
            advance(now);
        }
    }
};

conversation_closer::conversation_closer(std::size_t capacity)
    : capacity_(capacity), wakeup_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

conversation_closer::~conversation_closer() {
    stop(std::chrono::milliseconds(0));
}

void conversation_closer::wake() const noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeup_.get(), &one, sizeof one);
}

void conversation_closer::drop(unique_fd fd) noexcept {
    if (fd.reset() != 0) log_msg(LOG_ERR, "socket close error %s", std::strerror(errno));
}

void conversation_closer::take(unique_fd fd, std::chrono::milliseconds reply_wait,
                               close_listener* listener) noexcept {
    if (!fd) {
        if (listener != nullptr) listener->closed();
        return;
    }
    std::unique_lock lock(mutex_);
    bool room = !stopping_ && wakeup_ && counts_.pending < capacity_;
    if (room) {
        try {
            if (!thread_.joinable()) thread_ = start_quiet_thread([this] { run(); });
            inbox_.emplace_back();
        } catch (...) {
            room = false;  // no thread or no memory: the socket is dropped below
        }
    }
    if (room) {
        closing& c = inbox_.back();
        c.fd = std::move(fd);
        c.listener = listener;
        c.wait = reply_wait;
        ++counts_.pending;
        lock.unlock();
        wake();
        return;
    }
    ++counts_.dropped;
    const auto now = steady::now();
    const bool warn = !stopping_ && counts_.pending >= capacity_ &&
                      (last_full_warning_ == steady::time_point{} ||
                       now - last_full_warning_ >= full_warning_interval);
    if (warn) last_full_warning_ = now;
    const auto pending = counts_.pending;
    lock.unlock();
    if (warn) {
        log_msg(LOG_WARNING, "backend close queue full: %llu pending, conversations dropped",
                static_cast<unsigned long long>(pending));
    }
    drop(std::move(fd));
    if (listener != nullptr) listener->closed();
}

void conversation_closer::finish(closing& c) noexcept {
    ::shutdown(c.fd.get(), SHUT_RDWR);
    drop(std::move(c.fd));
    if (c.listener != nullptr) c.listener->closed();
    const std::lock_guard lock(mutex_);
    ++(c.answered ? counts_.done : counts_.unanswered);
    if (--counts_.pending == 0) idle_.notify_all();
}

void conversation_closer::run() noexcept {
    std::vector<closing> active;
    std::vector<closing> arrived;
    std::vector<pollfd> polled;
    // Never more than capacity_ pending: no allocation once running.
    active.reserve(capacity_);
    polled.reserve(capacity_ + 1);
    for (;;) {
        bool stopping = false;
        steady::time_point stop_deadline{};
        {
            const std::lock_guard lock(mutex_);
            std::swap(arrived, inbox_);
            stopping = stopping_;
            stop_deadline = stop_deadline_;
        }
        auto now = steady::now();
        for (closing& c : active) {
            if (now >= c.deadline) c.unanswered(now);
        }
        for (closing& c : arrived) {
            c.start(now);
            active.push_back(std::move(c));
        }
        arrived.clear();
        const auto ended = std::partition(active.begin(), active.end(),
                                          [](const closing& c) { return c.step < 2; });
        std::for_each(ended, active.end(), [this](closing& c) { finish(c); });
        active.erase(ended, active.end());

        if (stopping && (active.empty() || now >= stop_deadline)) break;

        auto next = stopping ? stop_deadline : steady::time_point::max();
        polled.assign(1, pollfd{wakeup_.get(), POLLIN, 0});
        for (const closing& c : active) {
            polled.push_back({c.fd.get(), POLLIN, 0});
            next = std::min(next, c.deadline);
        }
        int timeout = -1;
        if (next != steady::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
        }
        if (::poll(polled.data(), polled.size(), timeout) < 0) continue;  // EINTR
        if (polled[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = ::read(wakeup_.get(), &count, sizeof count);
        }
        now = steady::now();
        for (std::size_t i = 0; i < active.size(); ++i) {
            if (polled[i + 1].revents != 0) active[i].receive(now);
        }
    }

    // The grace is over: what is left is closed without a word.
    {
        const std::lock_guard lock(mutex_);
        for (closing& c : inbox_) active.push_back(std::move(c));
        inbox_.clear();
    }
    for (closing& c : active) {
        drop(std::move(c.fd));
        if (c.listener != nullptr) c.listener->closed();
    }
    const std::lock_guard lock(mutex_);
    counts_.dropped += active.size();
    counts_.pending -= active.size();
    idle_.notify_all();
}

void conversation_closer::stop(std::chrono::milliseconds grace) noexcept {
    std::thread thread;
    {
        const std::lock_guard lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            stop_deadline_ = steady::now() + grace;
        }
        thread = std::move(thread_);
    }
    wake();
    if (thread.joinable()) thread.join();
}

closer_counts conversation_closer::counts() const noexcept {
    const std::lock_guard lock(mutex_);
    return counts_;
}

bool conversation_closer::wait_idle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, bound, [this] { return counts_.pending == 0; });
}

conversation_closer& backend_closer() {
    // Never destroyed: connection threads may hand sockets over until the process ends.
    static conversation_closer& closer = *new conversation_closer;
    return closer;
}

}  // namespace kelvantor
