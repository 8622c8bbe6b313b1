// kv-test-backend: the test backend as a program, for the end-to-end tests
// and the benchmarks.  RCPT replies depend on the local part: "unknown..." is
// refused with 550, "tempfail..." deferred with 451, anything else accepted;
// --random-reply TEXT answers the filter's random "kvprobe..." local parts.
// Failure modes come from flags, among them a slow HELO (--helo-delay-ms)
// and RSET and QUIT never answered (--teardown-silent).  It logs nothing per
// command, prints its counts on SIGUSR1 ("counts connections=N rcpts=N") and
// at exit, and stops on SIGTERM or SIGINT, or by itself after --lifetime
// seconds.
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "support/test_backend.h"

namespace {

using kelvantor::testing::backend_script;

constexpr const char* usage =
    "usage: kv-test-backend [--port N] [--banner TEXT] [--silent] [--close-after-banner]\n"
    "                       [--delay-ms N] [--rcpt-delay-ms N] [--helo-delay-ms N] [--split]\n"
    "                       [--teardown-silent] [--random-reply TEXT]\n"
    "                       [--threads N] [--lifetime SECONDS]\n";

std::string random_reply;  // for "kvprobe..." local parts; empty: as any other

std::string rcpt_verdict(const std::string& address) {
    if (!random_reply.empty() && address.starts_with("kvprobe")) return random_reply;
    const std::size_t at = address.rfind('@');
    const std::string_view local =
        std::string_view(address).substr(0, at == std::string::npos ? address.size() : at);
    if (local.starts_with("unknown")) {
        return "550 5.1.1 <" + address + ">: Recipient address rejected: User unknown\r\n";
    }
    if (local.starts_with("tempfail")) return "451 4.3.0 Try again later\r\n";
    return "250 2.1.5 Ok\r\n";
}

bool parse_number(const char* text, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > max) return false;
    out = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    backend_script script;
    script.banner = "220 kv-test-backend ESMTP\r\n";
    script.helo_reply = "250 kv-test-backend\r\n";
    script.rcpt_reply = rcpt_verdict;
    script.record_lines = false;
    long lifetime = 86'400;

    for (int i = 1; i < argc; ++i) {
        const std::string_view option(argv[i]);
        const bool has_value = i + 1 < argc;
        long number = 0;
        if (option == "--port" && has_value && parse_number(argv[i + 1], 65535, number)) {
            script.port = static_cast<std::uint16_t>(number);
            ++i;
        } else if (option == "--banner" && has_value) {
            script.banner = std::string(argv[++i]) + "\r\n";
        } else if (option == "--silent") {
            script.banner.clear();
        } else if (option == "--close-after-banner") {
            script.close_after_banner = true;
        } else if (option == "--delay-ms" && has_value &&
                   parse_number(argv[i + 1], 3'600'000, number)) {
            script.reply_delay = std::chrono::milliseconds(number);
            ++i;
        } else if (option == "--rcpt-delay-ms" && has_value &&
                   parse_number(argv[i + 1], 3'600'000, number)) {
            script.rcpt_delay = std::chrono::milliseconds(number);
            ++i;
        } else if (option == "--helo-delay-ms" && has_value &&
                   parse_number(argv[i + 1], 3'600'000, number)) {
            script.helo_delay = std::chrono::milliseconds(number);
            ++i;
        } else if (option == "--teardown-silent") {
            // RSET and QUIT are read and never answered; the connection stays.
            script.rset_reply.clear();
            script.quit_reply.clear();
            script.close_after_quit = false;
        } else if (option == "--random-reply" && has_value) {
            random_reply = std::string(argv[++i]) + "\r\n";
        } else if (option == "--split") {
            script.split_gap = std::chrono::milliseconds(200);
        } else if (option == "--threads" && has_value && parse_number(argv[i + 1], 64, number)) {
            script.threads = static_cast<unsigned>(number);
            ++i;
        } else if (option == "--lifetime" && has_value &&
                   parse_number(argv[i + 1], 86'400, number)) {
            lifetime = number;
            ++i;
        } else {
            std::fputs(usage, stderr);
            return 64;
        }
    }

    // Block the stop signals before any thread starts, so that every thread
    // inherits the mask and only sigwait below sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGUSR1);  // not a stop: print the counts so far
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        kelvantor::testing::test_backend backend(std::move(script));
        std::printf("port %u\n", static_cast<unsigned>(backend.port()));
        std::fflush(stdout);
        const auto print_counts = [&backend](std::FILE* to, const char* what) {
            std::fprintf(to, "%s connections=%d rcpts=%llu\n", what, backend.connections(),
                         static_cast<unsigned long long>(backend.rcpts()));
            std::fflush(to);
        };
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
        // Other wake-ups (EINTR after a stop and continue) are waited out.
        for (auto left = end - std::chrono::steady_clock::now(); left.count() > 0;
             left = end - std::chrono::steady_clock::now()) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
            const timespec limit{static_cast<time_t>(ms / 1000), (ms % 1000) * 1'000'000L};
            const int got = sigtimedwait(&stop_signals, nullptr, &limit);
            if (got == SIGUSR1) {
                print_counts(stdout, "counts");
            } else if (got > 0 || errno == EAGAIN) {
                break;
            }
        }
        print_counts(stderr, "kv-test-backend:");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kv-test-backend: %s\n", e.what());
        return 71;
    }
    return 0;
}
