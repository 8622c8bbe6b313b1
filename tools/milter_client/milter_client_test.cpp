// The milter client against a real libmilter filter (the fixture milter, a
// child process on a unix socket and on a loopback TCP port): what libmilter
// decodes of each command the client encodes, the answers it decodes (reply
// text, progress packets, end-of-message changes), stages turned off or
// without reply, and the bounded failure paths.
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

#include "milter_client/milter_client.h"

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
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
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

TEST_F(MilterClientTest, StagesTheFilterTurnedOffAreNotSentAndTheConversationStaysInStep) {
    EXPECT_EQ(client_.filter_version(), 6u);
    EXPECT_EQ(client_.filter_actions() & 0x1u, 0x1u);  // SMFIF_ADDHDRS
    // The fixture has no HELO, DATA, EOH or unknown-command callback.
    EXPECT_FALSE(client_.stage_enabled(milter_stage::helo));
    EXPECT_FALSE(client_.stage_enabled(milter_stage::unknown));
    EXPECT_TRUE(client_.stage_enabled(milter_stage::rcpt));
    start_message();
    EXPECT_EQ(client_.helo("client.example").verdict, milter_verdict::stage_off);
    EXPECT_EQ(client_.rcpt("<someone@fixture.test>").verdict, milter_verdict::proceed);
}

TEST_F(MilterClientTest, ConnectCarriesFamilyPortAddressAndMacros) {
    const struct {
        char family;
        const char* address;
        const char* text;
    } cases[] = {
        {'4', "127.0.0.2",
         "550 5.7.1 connect family=inet port=12345 addr=127.0.0.2 daemon=MSA j=mx"},
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

TEST_F(MilterClientTest, MailAndRecipientsCarryArgumentsAndMacrosAndDecodeEachAnswer) {
    ASSERT_EQ(client_.connect("client.example", '4', 1, "127.0.0.2").verdict,
              milter_verdict::proceed);
    ASSERT_TRUE(client_.macros('M', {{"{mail_addr}", "echo@fixture.test"}}));
    const std::string_view args[] = {"SIZE=10", "BODY=8BITMIME"};
    EXPECT_EQ(client_.mail("<echo@fixture.test>", args).text,
              "550 5.7.1 mail args=<echo@fixture.test>,SIZE=10,BODY=8BITMIME "
              "mail_addr=echo@fixture.test");
    // After an abort the connection serves the next message.
    ASSERT_TRUE(client_.abort());
    const milter_reply& plain = client_.mail("<reject@fixture.test>");
    EXPECT_EQ(plain.verdict, milter_verdict::reject);
    EXPECT_EQ(plain.code, 'r');
    EXPECT_EQ(plain.text, "");
    ASSERT_TRUE(client_.abort());

    ASSERT_EQ(client_.mail("<sender@fixture.test>").verdict, milter_verdict::proceed);
    const struct {
        const char* rcpt;
        milter_verdict verdict;
        char code;
        const char* text;
    } cases[] = {
        {"<unknown1@fixture.test>", milter_verdict::reject, 'y', "550 5.1.1  User unknown"},
        {"<known@fixture.test>", milter_verdict::proceed, 'c', ""},
        {"<temp@fixture.test>", milter_verdict::tempfail, 'y', "451 4.7.0 Internal error"},
        {"<defer@fixture.test>", milter_verdict::tempfail, 't', ""},
        {"<slow@fixture.test>", milter_verdict::proceed, 'c', ""},  // after two progress packets
        {"<echo@Fixture.Test>", milter_verdict::reject, 'y',
         "550 5.7.1 rcpt arg=<echo@Fixture.Test> rcpt_addr=echo@fixture.test"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rcpt);
        ASSERT_TRUE(client_.macros('R', {{"{rcpt_addr}", "echo@fixture.test"}}));
        const milter_reply& reply = client_.rcpt(c.rcpt);
        EXPECT_EQ(reply.verdict, c.verdict);
        EXPECT_EQ(reply.code, c.code);
        EXPECT_EQ(reply.text, c.text);
    }
}

TEST_F(MilterClientTest, MessageStagesBodyChunksAndEndOfMessageChanges) {
    start_message();
    ASSERT_EQ(client_.rcpt("<known@fixture.test>").verdict, milter_verdict::proceed);
    EXPECT_EQ(client_.header("Subject", "e2e").verdict, milter_verdict::proceed);
    EXPECT_EQ(client_.eoh().verdict, milter_verdict::stage_off);
    // 100000 bytes travel as two body chunks; the filter counts them.
    EXPECT_EQ(client_.body(std::string(100000, 'x')).verdict, milter_verdict::proceed);
    const milter_reply& end = client_.eom();
    EXPECT_EQ(end.verdict, milter_verdict::proceed);
    ASSERT_EQ(end.modifications.size(), 1u);
    EXPECT_EQ(end.modifications[0].code, 'h');
    EXPECT_EQ(end.modifications[0].data, std::string("X-Fixture-Body\0"
                                                     "100000\0",
                                                     22));
    // The connection serves the next message.
    ASSERT_EQ(client_.mail("<sender@fixture.test>").verdict, milter_verdict::proceed);
    ASSERT_EQ(client_.rcpt("<known@fixture.test>").verdict, milter_verdict::proceed);
    EXPECT_EQ(client_.header("X-Echo", "value").text, "550 5.7.1 header name=X-Echo value=[value]");
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
    // Waiting for a reply that never comes would take the 3 s timeout.
    EXPECT_EQ(tcp.header("Subject", "a").verdict, milter_verdict::no_reply) << tcp.error();
    EXPECT_EQ(tcp.header("X-Other", "b").verdict, milter_verdict::no_reply) << tcp.error();
    EXPECT_EQ(tcp.body("x").verdict, milter_verdict::proceed) << tcp.error();
    EXPECT_EQ(tcp.eom().modifications.size(), 1u) << tcp.error();
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
