// Tests of the milter client against a real libmilter filter (the fixture
// milter, run as a child process on a unix socket and on a loopback TCP port):
// negotiation and stages turned off, the encoding of every command, answers
// with and without reply text, progress and end-of-message changes, reuse of a
// connection, no-reply stages, and the bounded failure paths.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/milter_client.h"

namespace kelvantor::testing {
namespace {

namespace mp = milter_protocol;
using namespace std::chrono_literals;

const char* fixture_binary = nullptr;

}  // namespace

// Readable verdicts in assertion messages.
void PrintTo(milter_verdict verdict, std::ostream* out) {
    *out << verdict_name(verdict);
}

namespace {

// One fixture milter process; killed and reaped by the destructor.
class fixture_process {
public:
    explicit fixture_process(std::vector<std::string> args) {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(fixture_binary)};
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(fixture_binary, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        // Ready once it prints its line (the socket is listening by then).
        pollfd pfd{out[0], POLLIN, 0};
        char line[16] = {};
        if (::poll(&pfd, 1, 5000) == 1 && ::read(out[0], line, sizeof line - 1) > 0) {
            ready_ = std::string_view(line).starts_with("ready");
        }
        ::close(out[0]);
    }
    ~fixture_process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            for (int i = 0; i < 500 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                ::usleep(10000);
            }
        }
    }
    fixture_process(const fixture_process&) = delete;
    fixture_process& operator=(const fixture_process&) = delete;
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

class MilterClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char dir_template[] = "/tmp/kv-milter-client-test.XXXXXX";
        dir_ = ::mkdtemp(dir_template);
        unix_spec_ = "unix:" + dir_ + "/fixture.sock";
        tcp_spec_ = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
        plain_ = new fixture_process({"--socket", unix_spec_});
        no_reply_ = new fixture_process({"--socket", tcp_spec_, "--no-reply-headers"});
    }
    static void TearDownTestSuite() {
        delete plain_;
        delete no_reply_;
        ::unlink((dir_ + "/fixture.sock").c_str());
        ::rmdir(dir_.c_str());
    }
    void SetUp() override {
        ASSERT_TRUE(plain_->ready()) << "fixture on " << unix_spec_ << " did not start";
        ASSERT_TRUE(no_reply_->ready()) << "fixture on " << tcp_spec_ << " did not start";
        ASSERT_TRUE(client_.open(unix_spec_)) << client_.error();
    }

    // Connects as an ordinary client from 127.0.0.2 and opens a message.
    void start_message() {
        ASSERT_EQ(client_.connect("client.example", '4', 40000, "127.0.0.2").verdict,
                  milter_verdict::proceed);
        ASSERT_EQ(client_.mail("<sender@fixture.test>").verdict, milter_verdict::proceed);
    }

    static inline std::string dir_;
    static inline std::string unix_spec_;
    static inline std::string tcp_spec_;
    static inline fixture_process* plain_ = nullptr;
    static inline fixture_process* no_reply_ = nullptr;
    milter_client client_;
};

TEST_F(MilterClientTest, NegotiationReportsTheStagesTheFilterTurnedOff) {
    EXPECT_EQ(client_.filter_version(), 6u);
    EXPECT_EQ(client_.filter_actions() & 0x1u, 0x1u);  // SMFIF_ADDHDRS
    // The fixture has no HELO, DATA, EOH or unknown-command callback.
    EXPECT_FALSE(client_.stage_enabled(milter_stage::helo));
    EXPECT_FALSE(client_.stage_enabled(milter_stage::data));
    EXPECT_FALSE(client_.stage_enabled(milter_stage::eoh));
    EXPECT_FALSE(client_.stage_enabled(milter_stage::unknown));
    EXPECT_TRUE(client_.stage_enabled(milter_stage::connect));
    EXPECT_TRUE(client_.stage_enabled(milter_stage::rcpt));
    EXPECT_TRUE(client_.stage_enabled(milter_stage::header));
    EXPECT_TRUE(client_.stage_enabled(milter_stage::body));

    // A stage that is off is not sent, and the conversation stays in step.
    start_message();
    EXPECT_EQ(client_.helo("client.example").verdict, milter_verdict::stage_off);
    EXPECT_EQ(client_.rcpt("<someone@fixture.test>").verdict, milter_verdict::proceed);
}

TEST_F(MilterClientTest, ConnectCarriesFamilyPortAddressAndMacros) {
    struct expected_connect {
        char family;
        const char* address;
        const char* text;
    };
    const expected_connect cases[] = {
        {'4', "127.0.0.2",
         "550 5.7.1 connect family=inet port=12345 addr=127.0.0.2 daemon=MSA j=mx"},
        {'6', "::1", "550 5.7.1 connect family=inet6 port=12345 addr=::1 daemon=MSA j=mx"},
        {'6', "2001:db8::25",
         "550 5.7.1 connect family=inet6 port=12345 addr=2001:db8::25 daemon=MSA j=mx"},
        {'L', "/run/client.sock",
         "550 5.7.1 connect family=unix port=0 addr=/run/client.sock daemon=MSA j=mx"},
        {'U', "", "550 5.7.1 connect family=none port=0 addr= daemon=MSA j=mx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        ASSERT_TRUE(client_.macros('C', {{"{daemon_name}", "MSA"}, {"j", "mx"}}));
        const milter_reply& reply = client_.connect("echo.example", c.family, 12345, c.address);
        EXPECT_EQ(reply.verdict, milter_verdict::reject);
        EXPECT_EQ(reply.code, 'y');
        EXPECT_EQ(reply.text, c.text);
        client_.quit();
        ASSERT_TRUE(client_.open(unix_spec_)) << client_.error();
    }
}

TEST_F(MilterClientTest, ConnectAnswersWithoutReplyText) {
    struct expected_answer {
        const char* host;
        milter_verdict verdict;
        char code;
    };
    const expected_answer cases[] = {
        {"accept.example", milter_verdict::accept, 'a'},
        {"reject.example", milter_verdict::reject, 'r'},
        {"tempfail.example", milter_verdict::tempfail, 't'},
        {"client.example", milter_verdict::proceed, 'c'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const milter_reply& reply = client_.connect(c.host, '4', 1, "127.0.0.2");
        EXPECT_EQ(reply.verdict, c.verdict);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(reply.text, "");
        client_.quit();
        ASSERT_TRUE(client_.open(unix_spec_)) << client_.error();
    }
}

TEST_F(MilterClientTest, MailCarriesSenderArgumentsAndMacros) {
    ASSERT_EQ(client_.connect("client.example", '4', 1, "127.0.0.2").verdict,
              milter_verdict::proceed);
    ASSERT_TRUE(client_.macros('M', {{"{mail_addr}", "echo@fixture.test"}}));
    const std::string_view args[] = {"SIZE=10", "BODY=8BITMIME"};
    const milter_reply& echo = client_.mail("<echo@fixture.test>", args);
    EXPECT_EQ(echo.verdict, milter_verdict::reject);
    EXPECT_EQ(echo.text,
              "550 5.7.1 mail args=<echo@fixture.test>,SIZE=10,BODY=8BITMIME "
              "mail_addr=echo@fixture.test");
    client_.abort();
    const milter_reply& plain = client_.mail("<reject@fixture.test>");
    EXPECT_EQ(plain.verdict, milter_verdict::reject);
    EXPECT_EQ(plain.code, 'r');
    EXPECT_EQ(plain.text, "");
}

TEST_F(MilterClientTest, RecipientAnswersInOneTransaction) {
    start_message();
    struct expected_rcpt {
        const char* rcpt;
        milter_verdict verdict;
        char code;
        const char* text;
    };
    const expected_rcpt cases[] = {
        {"<unknown1@fixture.test>", milter_verdict::reject, 'y', "550 5.1.1  User unknown"},
        {"<known@fixture.test>", milter_verdict::proceed, 'c', ""},
        {"<temp@fixture.test>", milter_verdict::tempfail, 'y', "451 4.7.0 Internal error"},
        {"<defer@fixture.test>", milter_verdict::tempfail, 't', ""},
        {"<slow@fixture.test>", milter_verdict::proceed, 'c', ""},  // after two progress packets
        {"<echo@Fixture.Test>", milter_verdict::reject, 'y',
         "550 5.7.1 rcpt arg=<echo@Fixture.Test> rcpt_addr=echo@fixture.test"},
        {"<known2@fixture.test>", milter_verdict::proceed, 'c', ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rcpt);
        std::string_view address(c.rcpt);
        ASSERT_TRUE(client_.macros('R', {{"{rcpt_addr}", "echo@fixture.test"}}));
        const milter_reply& reply = client_.rcpt(address);
        EXPECT_EQ(reply.verdict, c.verdict);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(reply.text, c.text);
    }
}

TEST_F(MilterClientTest, MessageStagesAndEndOfMessageChanges) {
    for (int message = 0; message < 2; ++message) {  // two messages on one connection
        SCOPED_TRACE(message);
        if (message == 0) {
            start_message();
        } else {
            ASSERT_EQ(client_.mail("<sender@fixture.test>").verdict, milter_verdict::proceed);
        }
        ASSERT_EQ(client_.rcpt("<known@fixture.test>").verdict, milter_verdict::proceed);
        EXPECT_EQ(client_.data().verdict, milter_verdict::stage_off);
        EXPECT_EQ(client_.header("Subject", "e2e").verdict, milter_verdict::proceed);
        EXPECT_EQ(client_.eoh().verdict, milter_verdict::stage_off);
        // 100000 bytes travel as two body chunks; the filter counts them.
        const std::string body(100000, 'x');
        EXPECT_EQ(client_.body(body).verdict, milter_verdict::proceed);
        const milter_reply& end = client_.eom();
        EXPECT_EQ(end.verdict, milter_verdict::proceed);
        ASSERT_EQ(end.modifications.size(), 1u);
        EXPECT_EQ(end.modifications[0].code, 'h');
        EXPECT_EQ(end.modifications[0].data, std::string("X-Fixture-Body\0"
                                                         "100000\0",
                                                         22));
    }
    ASSERT_EQ(client_.mail("<sender@fixture.test>").verdict, milter_verdict::proceed);
    ASSERT_EQ(client_.rcpt("<known@fixture.test>").verdict, milter_verdict::proceed);
    const milter_reply& echo = client_.header("X-Echo", "value");
    EXPECT_EQ(echo.text, "550 5.7.1 header name=X-Echo value=[value]");
    EXPECT_TRUE(echo.modifications.empty());
}

TEST_F(MilterClientTest, AbortKeepsTheConnectionUsableAndQuitClosesIt) {
    start_message();
    ASSERT_EQ(client_.rcpt("<known@fixture.test>").verdict, milter_verdict::proceed);
    ASSERT_TRUE(client_.abort());
    ASSERT_EQ(client_.mail("<echo@fixture.test>").text,
              "550 5.7.1 mail args=<echo@fixture.test> mail_addr=(none)");
    client_.quit();
    EXPECT_FALSE(client_.is_open());
    // A moved-to client carries the connection on.
    milter_client first;
    ASSERT_TRUE(first.open(unix_spec_)) << first.error();
    client_ = std::move(first);
    EXPECT_FALSE(first.is_open());  // NOLINT(bugprone-use-after-move): checks the move
    ASSERT_TRUE(client_.macros('C', {{"{daemon_name}", "second"}}));
    const milter_reply& again = client_.connect("echo.example", '4', 7, "127.0.0.3");
    EXPECT_EQ(again.verdict, milter_verdict::reject) << client_.error();
    EXPECT_EQ(again.text,
              "550 5.7.1 connect family=inet port=7 addr=127.0.0.3 daemon=second j=(none)");
    client_.quit();
    EXPECT_FALSE(client_.is_open());
    EXPECT_EQ(client_.rcpt("<x@fixture.test>").verdict, milter_verdict::failed);
}

TEST_F(MilterClientTest, NoReplyStagesAreSentWithoutWaiting) {
    milter_client tcp;
    milter_client_options options;
    options.io_timeout = 3000ms;
    ASSERT_TRUE(tcp.open(tcp_spec_, options)) << tcp.error();
    EXPECT_NE(tcp.filter_protocol() & mp::no_reply_header, 0u);
    ASSERT_EQ(tcp.connect("client.example", '4', 1, "127.0.0.2").verdict, milter_verdict::proceed);
    ASSERT_EQ(tcp.mail("<sender@fixture.test>").verdict, milter_verdict::proceed);
    ASSERT_EQ(tcp.rcpt("<known@fixture.test>").verdict, milter_verdict::proceed);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tcp.header("Subject", "a").verdict, milter_verdict::no_reply) << tcp.error();
    EXPECT_EQ(tcp.header("X-Other", "b").verdict, milter_verdict::no_reply) << tcp.error();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(tcp.body("x").verdict, milter_verdict::proceed);
    const milter_reply& end = tcp.eom();
    EXPECT_EQ(end.verdict, milter_verdict::proceed) << tcp.error();
    EXPECT_EQ(end.modifications.size(), 1u);
}

TEST(MilterClientFailureTest, RefusedConnectionAndBadSpecsFailAtOnce) {
    milter_client client;
    const std::string closed = "inet:" + std::to_string(free_port()) + "@127.0.0.1";
    EXPECT_FALSE(client.open(closed));
    EXPECT_NE(client.error().find("connect"), std::string::npos) << client.error();
    EXPECT_FALSE(client.open("unix:/nonexistent/kv-e2e.sock"));
    EXPECT_FALSE(client.open("smtp:25@127.0.0.1"));
    EXPECT_FALSE(client.is_open());
}

TEST(MilterClientFailureTest, SilentFilterTimesOutWithinTheBound) {
    // A listener that never answers: the kernel completes the handshake.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    milter_client client;
    milter_client_options options;
    options.io_timeout = 300ms;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        client.open("inet:" + std::to_string(ntohs(address.sin_port)) + "@127.0.0.1", options));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_NE(client.error().find("no answer"), std::string::npos) << client.error();
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3000ms);
    ::close(listener);
}

}  // namespace
}  // namespace kelvantor::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FIXTURE_MILTER_BINARY\n", argv[0]);
        return 2;
    }
    kelvantor::testing::fixture_binary = argv[1];
    return RUN_ALL_TESTS();
}
