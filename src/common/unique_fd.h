// A move-only owner of one file descriptor: closed exactly once, when the
// owner goes out of scope or is reset.
#pragma once

#include <unistd.h>

#include <utility>

namespace kelvantor {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the descriptor held (if any) and takes fd; returns close()'s result.
    int reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        return old >= 0 ? ::close(old) : 0;
    }

private:
    int fd_ = -1;
};

}  // namespace kelvantor
