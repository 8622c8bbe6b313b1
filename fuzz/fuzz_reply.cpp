// fuzz_reply: read_reply and the reply rules.  The input's head picks chunk
// sizes and pauses (0-200 us) for a writer thread serving the rest over a
// socketpair (unpaced bytes are queued before the read).  A complete reply is
// what reply_scanner finds in the same bytes and ends with LF; classify_reply
// sees exact-size heap copies (ASan catches a read past the view); scanning
// byte by byte agrees with scanning at once.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backend/reply.h"
#include "backend/socket_io.h"
#include "common/log.h"

namespace {

using namespace kelvantor;

void no_log(int, const char*) {}

void check(bool condition) {
    if (!condition) std::abort();
}

// classify_reply on a copy of exactly the view's bytes.
reply_kind classify_copy(std::string_view bytes) {
    const std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return classify_reply(std::string_view(copy.get(), bytes.size()));
}

struct scan_result {
    reply_scanner::state state;
    std::size_t length;
};

scan_result scan_at_once(std::string_view bytes) {
    reply_scanner scanner;
    const auto state = scanner.scan(bytes.data(), bytes.size());
    return {state, state == reply_scanner::state::partial ? 0 : scanner.reply_length()};
}

void check_scanner(std::string_view bytes) {
    const scan_result whole = scan_at_once(bytes);
    reply_scanner scanner;
    auto state = reply_scanner::state::partial;
    for (std::size_t count = 1; count <= bytes.size(); ++count) {
        state = scanner.scan(bytes.data(), count);
        if (state != reply_scanner::state::partial) {
            // The first whole reply is where the scan at once finds it.
            check(scanner.reply_length() == whole.length);
            check(state == (count > whole.length ? reply_scanner::state::overrun
                                                 : reply_scanner::state::complete));
        }
    }
    check(state == whole.state);
    if (whole.state != reply_scanner::state::partial) {
        check(whole.length > 0 && whole.length <= bytes.size());
        check(bytes[whole.length - 1] == '\n');
    }
}

struct chunking {
    std::vector<std::size_t> sizes;       // cycled
    std::vector<unsigned> pauses_micros;  // cycled alongside
};

void serve(int fd, const std::string& bytes, const chunking& plan) {
    // Past the first chunks the rest goes at once, so that a long input
    // does not make a slow one.
    constexpr std::size_t paced_chunks = 16;
    std::size_t sent = 0;
    for (std::size_t i = 0; sent < bytes.size(); ++i) {
        const unsigned pause = plan.pauses_micros[i % plan.pauses_micros.size()];
        if (pause > 0 && i < paced_chunks) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause));
        }
        const std::size_t size =
            i < paced_chunks ? std::min(plan.sizes[i % plan.sizes.size()], bytes.size() - sent)
                             : bytes.size() - sent;
        const ssize_t n = ::send(fd, bytes.data() + sent, size, MSG_NOSIGNAL);
        if (n <= 0) break;  // the reader has gone
        sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_sink(no_log);
    return 0;
}

// Input: one byte h; (h & 7) + 1 pairs of (chunk size, pause) bytes (a pause
// byte below 128 is none, 128-255 is 0-200 us); then the
// bytes the backend sends, repeated up to 70000 bytes when h has its top bit
// (so that the reply cap is met).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    const std::uint8_t head = data[0];
    const std::size_t pairs = (head & 7u) + 1;
    if (size < 1 + 2 * pairs) return -1;
    chunking plan;
    for (std::size_t i = 0; i < pairs; ++i) {
        plan.sizes.push_back(std::size_t{data[1 + 2 * i]} * 4 + 1);
        const unsigned pause = data[2 + 2 * i];  // below 128: none
        plan.pauses_micros.push_back(pause < 128 ? 0 : (pause - 128) * 200u / 127u);
    }
    std::string bytes(reinterpret_cast<const char*>(data) + 1 + 2 * pairs, size - 1 - 2 * pairs);
    if ((head & 0x80u) != 0 && !bytes.empty()) {
        const std::string unit = bytes;
        while (bytes.size() < 70000) bytes += unit;
    }

    check_scanner(bytes);
    classify_copy(bytes);
    const scan_result whole = scan_at_once(bytes);

    int ends[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    check(::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK) == 0);
    // Without pauses the bytes (far less than the socket buffer) are queued
    // before the read, with no thread to wait for.
    const bool paced = std::any_of(plan.pauses_micros.begin(), plan.pauses_micros.end(),
                                   [](unsigned pause) { return pause > 0; });
    std::thread writer;
    if (paced) {
        writer = std::thread(serve, ends[1], std::cref(bytes), std::cref(plan));
    } else {
        serve(ends[1], bytes, plan);
    }

    constexpr std::chrono::milliseconds wait{5000};
    reply_buffer buffer;
    const auto started = std::chrono::steady_clock::now();
    const reply_read read = read_reply(ends[0], buffer, wait);
    const bool in_time = std::chrono::steady_clock::now() - started < wait;
    ::close(ends[0]);
    if (writer.joinable()) writer.join();

    // What was read is the start of what was sent.
    check(read.length <= bytes.size() && read.length <= buffer.size());
    check(std::memcmp(buffer.data(), bytes.data(), read.length) == 0);
    const std::string_view got(buffer.data(), read.length);
    switch (read.status) {
        case reply_status::complete: {
            const scan_result own = scan_at_once(got);
            check(own.state == reply_scanner::state::complete && own.length == got.size());
            check(whole.state != reply_scanner::state::partial && whole.length == got.size());
            check(got.back() == '\n');
            classify_copy(got);
            break;
        }
        case reply_status::overrun:
            check(whole.state == reply_scanner::state::overrun && whole.length == got.size());
            break;
        case reply_status::silent:
            check(!in_time || bytes.empty());
            break;
        case reply_status::incomplete:
            // Cut by the close: the bytes hold no whole reply.
            check(!in_time || whole.state == reply_scanner::state::partial);
            break;
        case reply_status::too_long:
            check(read.length == reply_cap && bytes.size() >= reply_cap);
            check(scan_at_once(got).state == reply_scanner::state::partial);
            break;
        case reply_status::failed:
            std::abort();  // a good descriptor and buffer, an uninterrupted wait
    }
    return 0;
}
