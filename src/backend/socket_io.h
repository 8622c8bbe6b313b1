// Backend connection and socket I/O: a time-limited non-blocking TCP connect
// and bounded waits for reading and writing.  A reply is whatever arrives
// until the backend stays quiet for 100 us after its latest bytes, closes its
// end, or lets the first wait run out; nothing is parsed here.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kelvantor {

// backend_fd value meaning "no backend connection".
inline constexpr int NO_BACKEND = -2;

// read_reply result for a reply longer than reply_cap: unusable, and the
// connection must not be used again.
inline constexpr int REPLY_TOO_LONG = -2;
inline constexpr std::size_t reply_cap = std::size_t{64} * 1024;
inline constexpr std::size_t reply_block_size = 1024;
inline constexpr std::size_t reply_growth_step = 4096;

// A heap block for one backend reply (or command line); grown by read_reply
// in 4096-byte steps, never beyond reply_cap.  Not NUL-terminated.
class reply_buffer {
public:
    explicit reply_buffer(std::size_t size = reply_block_size) noexcept;
    ~reply_buffer();
    reply_buffer(const reply_buffer&) = delete;
    reply_buffer& operator=(const reply_buffer&) = delete;

    bool valid() const noexcept { return data_ != nullptr; }  // false: allocation failed
    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Enlarges the block by step bytes (realloc); false, block unchanged, on failure.
    bool grow(std::size_t step) noexcept;

private:
    char* data_;
    std::size_t size_;
};

// Opens a TCP connection to address (port written into a copy, network order).
// The new descriptor is stored in slot as soon as socket() returns, even -1.
// 0 connected; -1 failed with errno set (ETIMEDOUT when the time ran out), the
// socket left in slot; -3 family not IPv4/IPv6 or no socket (logged).
int backend_open(int& slot, std::uint16_t port, std::chrono::milliseconds connect_timeout,
                 sockaddr_storage address);

// Waits once for the connect to finish; 0 connected, -1 with errno set.
int wait_connected(int fd, std::chrono::milliseconds timeout);

// Reads a reply into buffer from offset 0: bytes received (0 when the first
// wait ran out), -1 on a bad descriptor or failed wait, REPLY_TOO_LONG past
// reply_cap (logged).  The reply ends at a quiet gap of 100 us, or at once
// when what has arrived ends with a complete final reply line.
int read_reply(int fd, reply_buffer& buffer, std::chrono::seconds first_wait);

// True when bytes end with a complete final SMTP reply line: a line ended by
// LF that begins with three digits followed by a blank, CR or the LF itself
// ("250 ok\r\n", "250\r\n"); a continuation line ("250-...") is not final.
bool ends_with_final_reply_line(const char* bytes, std::size_t count) noexcept;

// Writes all bytes after waiting at most 1 s for writability; count or -1.
// A peer that has gone away gives -1 (EPIPE), never a signal.
int write_all(int fd, const char* bytes, int count);

}  // namespace kelvantor
