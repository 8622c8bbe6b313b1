// A real redis-server for the tests: started on a unix socket in a scratch
// directory of its own, with no persistence, and stopped by pid.  Commands
// for setting up and checking the store go over a blocking hiredis link.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kelvantor::testing {

class redis_server {
public:
    // extra: further redis-server options, e.g. {"--requirepass", "x"}.
    explicit redis_server(std::vector<std::string> extra = {});
    ~redis_server();
    redis_server(const redis_server&) = delete;
    redis_server& operator=(const redis_server&) = delete;

    static bool installed();

    // Starts the server and waits (bounded) until it answers; false if it did not.
    bool start();
    // SIGKILL, and reaped.
    void kill();
    // SIGTERM, a bounded wait, then SIGKILL.
    void stop();
    // SIGSTOP and SIGCONT: a server that hangs with its connections open.
    void freeze() const;
    void thaw() const;

    const std::string& socket_path() const { return socket_; }

    // Runs one command; the reply as text: a string or status as it is,
    // an integer in decimal, nil as "(nil)", an error as "ERR: ...", an
    // array as its elements joined by blanks.
    std::string run(std::initializer_list<std::string_view> words) const;
    // Makes the server sleep (DEBUG SLEEP) for the seconds given, and returns
    // once it has stopped answering; false if it kept answering.
    bool block_for(double seconds);

private:
    std::vector<std::string> extra_;
    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
    std::thread sleeper_;
};

}  // namespace kelvantor::testing
