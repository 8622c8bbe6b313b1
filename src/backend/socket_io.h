// Backend connection and socket I/O: a time-limited non-blocking TCP connect
// and bounded waits for reading and writing.  A reply is read until its final
// line has arrived, within the command's wait; partial bytes are never taken
// for a reply, and bytes after the reply show a conversation out of step.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/unique_fd.h"

namespace kelvantor {

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

enum class connect_status {
    connected,  // fd is a connected, non-blocking socket
    failed,     // refused, timed out (ETIMEDOUT), ...: error says why; fd holds the socket
    no_socket,  // family not IPv4/IPv6, or no socket (logged); fd holds nothing
};

struct backend_socket {
    unique_fd fd;
    connect_status status = connect_status::no_socket;
    int error = 0;  // errno of a failed connect or of socket(), else 0
};

// Opens a TCP connection to address (port written into a copy, network order),
// waiting at most connect_timeout for it (an interrupted wait is not repeated).
backend_socket backend_open(std::uint16_t port, std::chrono::milliseconds connect_timeout,
                            sockaddr_storage address);

enum class reply_status {
    complete,    // one whole reply and nothing after it
    silent,      // nothing arrived within the wait, or the backend closed first
    incomplete,  // bytes arrived but no whole reply, within the wait or before a close (logged)
    too_long,    // the reply grew past reply_cap (logged)
    overrun,     // bytes arrived after the reply, which nobody asked for (logged)
    failed,      // bad descriptor or buffer, or a failed wait (logged where it is the wait)
};

struct reply_read {
    reply_status status;
    std::size_t length;  // bytes of the reply at buffer.data() when complete, else what came
};

// Reads one reply into buffer from offset 0 and returns as soon as its final
// line is there.  The whole reply must arrive within wait (an interrupted wait
// is resumed with the time left).  Only complete replies are replies: the
// conversation is out of step after any other status and must not go on.
reply_read read_reply(int fd, reply_buffer& buffer, std::chrono::milliseconds wait);

// True when bytes are queued for reading on fd, i.e. the backend has sent
// something nobody asked for yet.  Never waits.
bool has_unasked_bytes(int fd) noexcept;

// Writes all bytes within one second: a send is tried at once, and whenever
// the socket cannot take more the writer waits for room with what is left of
// that second.  count, or -1 (logged) when not everything went out in time;
// a peer that has gone away gives -1 (EPIPE), never a signal.
int write_all(int fd, const char* bytes, int count);

}  // namespace kelvantor
