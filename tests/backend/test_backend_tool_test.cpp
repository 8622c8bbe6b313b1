// Tests of the standalone kv-test-backend, driven through the backend client:
// the "port N" line, the RCPT verdicts by local part, the failure-mode flags,
// and the stop on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "backend/smtp.h"
#include "backend/socket_io.h"
#include "common/unique_fd.h"
#include "support/raw_peer.h"
#include "support/test_backend.h"

extern char** environ;

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// One kv-test-backend process, killed and reaped at the end unless stopped.
class tool_process {
public:
    explicit tool_process(std::vector<std::string> words) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        output_.reset(ends[0]);
        const unique_fd write_end(ends[1]);
        words.insert(words.begin(), KV_TEST_BACKEND_PATH);
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~tool_process() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    }
    tool_process(const tool_process&) = delete;
    tool_process& operator=(const tool_process&) = delete;

    // The port from the first line, "port N", read within a bound; 0 if none.
    std::uint16_t port() {
        std::string line;
        char c = 0;
        while (line.size() < 20 && testing::wait_events(output_.get(), POLLIN, 10s) &&
               ::read(output_.get(), &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        return line.starts_with("port ") ? static_cast<std::uint16_t>(std::stoi(line.substr(5)))
                                         : 0;
    }
    // Sends the signal (if any) and returns the exit status, or -1 after 10 s.
    int stop(int signal_number) {
        if (signal_number != 0) ::kill(pid_, signal_number);
        for (int round = 0; round < 1000; ++round) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::poll(nullptr, 0, 10);
        }
        return -1;
    }

private:
    unique_fd output_;
    pid_t pid_ = -1;
};

unique_fd connect_tool(std::uint16_t port) {
    backend_socket opened = backend_open(port, 5000ms, testing::loopback_address(port));
    EXPECT_EQ(opened.status, connect_status::connected) << std::strerror(opened.error);
    return std::move(opened.fd);
}

std::string exchange(int fd, const std::string& line, std::chrono::seconds wait = 10s) {
    if (!line.empty() && write_all(fd, line.data(), static_cast<int>(line.size())) < 0) return "!";
    reply_buffer buffer;
    const reply_read read = read_reply(fd, buffer, wait);
    return read.status == reply_status::complete ? std::string(buffer.data(), read.length) : "";
}

TEST(test_backend_tool, AnswersByLocalPartAndStopsOnSigterm) {
    tool_process tool({"--port", "0"});
    const std::uint16_t port = tool.port();
    ASSERT_NE(port, 0);
    const unique_fd fd = connect_tool(port);
    EXPECT_EQ(exchange(fd.get(), ""), "220 kv-test-backend ESMTP\r\n");
    EXPECT_EQ(smtp_command(fd.get(), "EHLO", "gw.test", "250"), command_result::ok);
    EXPECT_EQ(smtp_command(fd.get(), "MAIL FROM", ":<p@gw.test>", "250"), command_result::ok);
    const struct {
        const char* address;
        std::string reply;
    } rcpts[] = {
        {"unknown.user@dom.test",
         "550 5.1.1 <unknown.user@dom.test>: Recipient address rejected: User unknown\r\n"},
        {"tempfail7@dom.test", "451 4.3.0 Try again later\r\n"},
        {"user.unknown@dom.test", "250 2.1.5 Ok\r\n"},
    };
    for (const auto& r : rcpts) {
        EXPECT_EQ(exchange(fd.get(), std::string("RCPT TO:<") + r.address + ">\r\n"), r.reply);
    }
    EXPECT_EQ(smtp_command(fd.get(), "NOOP", "", "250"), command_result::ok);
    EXPECT_EQ(smtp_command(fd.get(), "RSET", "", "250"), command_result::ok);
    EXPECT_EQ(smtp_command(fd.get(), "QUIT", "", "221"), command_result::ok);
    EXPECT_EQ(tool.stop(SIGTERM), 0);
}

TEST(test_backend_tool, FailureModes) {
    const struct {
        std::vector<std::string> options;
        std::string first;   // what the first read gets
        std::string second;  // what a second read gets; "EOF" for a closed connection
        std::chrono::milliseconds at_least;  // least time before the banner
    } cases[] = {
        {{"--banner", "554 no service"}, "554 no service\r\n", "", 0ms},
        {{"--silent"}, "", "", 1000ms},
        {{"--close-after-banner"}, "220 kv-test-backend ESMTP\r\n", "EOF", 0ms},
        // The two halves, 200 ms apart, are read as the one reply they are.
        {{"--split"}, "220 kv-test-backend ESMTP\r\n", "", 200ms},
        {{"--delay-ms", "300"}, "220 kv-test-backend ESMTP\r\n", "", 300ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0]);
        std::vector<std::string> options{"--port", "0"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        tool_process tool(options);
        const std::uint16_t port = tool.port();
        ASSERT_NE(port, 0);
        const unique_fd fd = connect_tool(port);
        const auto start = clock_type::now();
        EXPECT_EQ(exchange(fd.get(), "", c.first.empty() ? 1s : 10s), c.first);
        EXPECT_GE(clock_type::now() - start, c.at_least - 5ms);
        if (c.second == "EOF") {
            char byte = 0;
            EXPECT_TRUE(testing::wait_events(fd.get(), POLLIN, 10s));
            EXPECT_EQ(::recv(fd.get(), &byte, 1, 0), 0);
        } else if (!c.second.empty()) {
            EXPECT_EQ(exchange(fd.get(), ""), c.second);
        }
        EXPECT_EQ(tool.stop(SIGINT), 0);
    }
}

}  // namespace
}  // namespace kelvantor
