// The polite end of backend conversations, off the MTA's threads.  A closer
// takes the socket of a conversation that is done and, on a thread of its
// own, sends RSET, reads its reply, sends QUIT, reads its reply and closes.
// All pending closes share one poll, so a backend that never answers holds
// up only its own; each reply is waited for a bounded time.  At most
// `capacity` closes are pending: beyond that a socket is closed at once
// without a word (dropped, counted, "backend close queue full ..." logged
// at most once a minute).  Handing a socket over never waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace kelvantor {

// What became of the sockets a closer was given.
struct closer_counts {
    std::uint64_t done = 0;  // RSET and QUIT both answered, then closed
    std::uint64_t unanswered =
        0;                      // a command not sent or not answered in time: closed all the same
    std::uint64_t dropped = 0;  // closed without a word: the queue was full, or left at the stop
    std::uint64_t pending = 0;  // taken and not closed yet
};

inline constexpr std::size_t closer_capacity = 256;

// Told when a socket handed over with it has been closed, however it ended;
// called on the closer's thread (or the caller's, for one dropped at once),
// with no lock of the closer held.  It must outlive the socket.
class close_listener {
public:
    virtual void closed() noexcept = 0;

protected:
    close_listener() = default;
    ~close_listener() = default;
    close_listener(const close_listener&) = default;
    close_listener& operator=(const close_listener&) = default;
};

class conversation_closer {
public:
    explicit conversation_closer(std::size_t capacity = closer_capacity);
    ~conversation_closer();  // stop() without grace
    conversation_closer(const conversation_closer&) = delete;
    conversation_closer& operator=(const conversation_closer&) = delete;

    // Ends the conversation on fd in the background, each reply waited for
    // up to reply_wait.  The thread starts with the first socket.  listener,
    // if any, is told once the socket is closed.
    void take(unique_fd fd, std::chrono::milliseconds reply_wait,
              close_listener* listener = nullptr) noexcept;

    // Pending closes get up to grace to finish, the rest are dropped; sockets
    // taken afterwards are dropped at once.
    void stop(std::chrono::milliseconds grace) noexcept;

    closer_counts counts() const noexcept;
    // Waits, at most bound, until nothing is pending (tests, shut-down).
    bool wait_idle(std::chrono::milliseconds bound) const;

    struct closing;

private:
    void run() noexcept;
    void finish(closing& c) noexcept;
    static void drop(unique_fd fd) noexcept;
    void wake() const noexcept;

    const std::size_t capacity_;
    unique_fd wakeup_;  // eventfd: new sockets, or the stop

    mutable std::mutex mutex_;
    mutable std::condition_variable idle_;
    std::vector<closing> inbox_;  // taken, not yet seen by the thread
    std::thread thread_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stop_deadline_{};
    std::chrono::steady_clock::time_point last_full_warning_{};
    closer_counts counts_;
};

// The closer every backend conversation of the process ends through; stopped
// at exit with a short grace.
conversation_closer& backend_closer();

}  // namespace kelvantor
