// The redis-server of the tests.
#include "shared/redis_server.h"

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

namespace kelvantor::testing {
namespace {

constexpr const char* server_program = "/usr/bin/redis-server";

struct context_deleter {
    void operator()(redisContext* c) const noexcept { redisFree(c); }
};
struct reply_deleter {
    void operator()(redisReply* r) const noexcept { freeReplyObject(r); }
};

std::string text_of(const redisReply* reply) {
    if (reply == nullptr) return "(no reply)";
    switch (reply->type) {
        case REDIS_REPLY_STRING:
        case REDIS_REPLY_STATUS:
            return {reply->str, reply->len};
        case REDIS_REPLY_ERROR:
            return "ERR: " + std::string(reply->str, reply->len);
        case REDIS_REPLY_INTEGER:
            return std::to_string(reply->integer);
        case REDIS_REPLY_NIL:
            return "(nil)";
        case REDIS_REPLY_ARRAY: {
            std::string joined;
            for (std::size_t i = 0; i < reply->elements; ++i) {
                if (i != 0) joined += ' ';
                joined += text_of(reply->element[i]);
            }
            return joined;
        }
        default:
            return "(unknown)";
    }
}

bool wait_reaped(pid_t pid, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

redis_server::redis_server(std::vector<std::string> extra) : extra_(std::move(extra)) {
    char pattern[] = "/tmp/kv-redis-test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
    socket_ = dir_ + "/redis.sock";
}

redis_server::~redis_server() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool redis_server::installed() {
    return access(server_program, X_OK) == 0;
}

bool redis_server::start() {
    if (dir_.empty()) return false;
    std::vector<std::string> words = {server_program,
                                      "--port",
                                      "0",
                                      "--unixsocket",
                                      socket_,
                                      "--unixsocketperm",
                                      "700",
                                      "--save",
                                      "",
                                      "--appendonly",
                                      "no",
                                      "--dir",
                                      dir_,
                                      "--logfile",
                                      dir_ + "/redis.log",
                                      "--enable-debug-command",
                                      "local"};
    words.insert(words.end(), extra_.begin(), extra_.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // Ends with the test, even a crashed one, and holds none of its
        // descriptors (ctest waits for the output pipe to close).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        closefrom(STDERR_FILENO + 1);
        execv(server_program, argv.data());
        _exit(127);
    }
    if (pid_ < 0) return false;
    // Up once it answers PING (or asks for a password).
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        const std::string answer = run({"PING"});
        if (answer == "PONG" || answer.rfind("ERR: NOAUTH", 0) == 0) return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void redis_server::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    if (sleeper_.joinable()) sleeper_.join();
    wait_reaped(pid_, std::chrono::seconds(5));
    pid_ = -1;
    unlink(socket_.c_str());
}

void redis_server::stop() {
    if (sleeper_.joinable()) sleeper_.join();
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!wait_reaped(pid_, std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        wait_reaped(pid_, std::chrono::seconds(5));
    }
    pid_ = -1;
    unlink(socket_.c_str());
}

void redis_server::freeze() const {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void redis_server::thaw() const {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

std::string redis_server::run(std::initializer_list<std::string_view> words) const {
    const timeval limit{5, 0};
    std::unique_ptr<redisContext, context_deleter> c(
        redisConnectUnixWithTimeout(socket_.c_str(), limit));
    if (c == nullptr || c->err != 0) return "(no connection)";
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string_view word : words) {
        argv.push_back(word.data());
        lengths.push_back(word.size());
    }
    std::unique_ptr<redisReply, reply_deleter> reply(static_cast<redisReply*>(
        redisCommandArgv(c.get(), static_cast<int>(argv.size()), argv.data(), lengths.data())));
    return text_of(reply.get());
}

bool redis_server::block_for(double seconds) {
    if (sleeper_.joinable()) sleeper_.join();
    sleeper_ = std::thread([this, text = std::to_string(seconds)] {
        run({"DEBUG", "SLEEP", text});
    });
    // Asleep once a PING gets no answer within 20 ms.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < until) {
        const timeval limit{0, 20000};
        std::unique_ptr<redisContext, context_deleter> c(
            redisConnectUnixWithTimeout(socket_.c_str(), limit));
        if (c == nullptr || c->err != 0) continue;
        redisSetTimeout(c.get(), limit);
        std::unique_ptr<redisReply, reply_deleter> reply(
            static_cast<redisReply*>(redisCommand(c.get(), "PING")));
        if (!reply) return true;
    }
    return false;
}

}  // namespace kelvantor::testing
