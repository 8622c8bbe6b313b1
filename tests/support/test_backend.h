// The scriptable SMTP backend of the tests and the benchmarks: it listens on
// 127.0.0.1 (port 0 by default), greets every connection with the script's
// banner and answers each command line with the script's reply, sent with one
// send() so that the client reads it as one reply.  It records every line it
// receives.  Event-driven (script.threads loops), so that pauses cost nothing
// and load runs stay cheap; kv-test-backend is the same as a program.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvantor::testing {

// What the backend sends.  An empty reply sends nothing and keeps the connection.
struct backend_script {
    std::string banner = "220 backend.test ESMTP\r\n";  // empty: silent
    bool close_after_banner = false;                    // close right after sending the banner
    std::string helo_reply = "250 backend.test\r\n";    // HELO and EHLO
    std::string mail_reply = "250 2.1.0 Ok\r\n";
    // Reply to "RCPT TO:<argument>"; receives the text between the angle brackets
    // (the whole argument after "RCPT TO:" when it has none).  Default: "250 2.1.5 Ok\r\n";
    // returning "" sends nothing.  Called on the backend's threads, possibly at once;
    // it must not block (the other connections of its thread would wait).
    std::function<std::string(const std::string& address)> rcpt_reply;
    std::string rset_reply = "250 2.0.0 Ok\r\n";
    std::string quit_reply = "221 2.0.0 Bye\r\n";
    bool close_after_quit = true;  // false: the connection stays until the peer closes it
    std::string noop_reply = "250 2.0.0 Ok\r\n";
    std::string other_reply = "502 5.5.2 Error: command not recognized\r\n";

    bool close_after_rcpt = false;             // close right after answering a RCPT
    std::chrono::microseconds reply_delay{0};  // pause before every reply, the banner included
    std::chrono::microseconds rcpt_delay{0};   // extra pause before RCPT replies only
    std::chrono::microseconds helo_delay{0};   // extra pause before HELO and EHLO replies only
    // Above 0: every reply goes out in two pieces this far apart (the first
    // piece is the first half, rounded down).
    std::chrono::microseconds split_gap{0};
    // Above 0: a reply of several lines goes out a line at a time, this far apart.
    std::chrono::microseconds line_gap{0};
    // Sent unasked right after every RCPT reply (in the same send); "" for none.
    std::string after_rcpt_reply;

    std::uint16_t port = 0;    // 0: the system picks one
    bool record_lines = true;  // false: lines() stays empty (for load)
    unsigned threads = 1;      // event loops; above 1 they share the port (SO_REUSEPORT)
};

class test_backend {
public:
    explicit test_backend(backend_script script = {});
    ~test_backend();  // closes every connection and joins the threads
    test_backend(const test_backend&) = delete;
    test_backend& operator=(const test_backend&) = delete;

    std::uint16_t port() const;
    sockaddr_storage address() const;  // 127.0.0.1 with port() set

    // Every line received, all connections, in order of arrival, CR LF stripped.
    std::vector<std::string> lines() const;
    bool wait_for_lines(std::size_t n, std::chrono::milliseconds bound) const;

    int connections() const;  // connections accepted so far
    bool wait_for_connections(int n, std::chrono::milliseconds bound) const;
    // Connections that have ended (peer closed, QUIT, close_after_*).
    int finished_connections() const;
    bool wait_for_finished(int n, std::chrono::milliseconds bound) const;
    std::uint64_t rcpts() const;  // RCPT commands received so far

    struct state;

private:
    std::unique_ptr<state> state_;
};

// 127.0.0.1 with the given port, as a sockaddr_storage.
sockaddr_storage loopback_address(std::uint16_t port);

}  // namespace kelvantor::testing
