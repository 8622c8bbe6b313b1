// kelvantorctl's own time bound: against a socket whose backlog is full (the
// connect itself waits) and against one that never accepts (the connection
// sits in the backlog, as under descriptor exhaustion), it gives up at -t
// with status 69 and a message naming the socket.  Also --help and --version.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/unique_fd.h"
#include "startup/run_binary.h"
#include "startup/startup.h"

namespace kelvantor::testing {
namespace {

unique_fd unix_socket_at(const std::string& path, int backlog) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.get(), backlog) != 0) {
        fd.reset();
    }
    return fd;
}

TEST(kelvantorctl_test, GivesUpAtItsTimeWhenTheFilterAcceptsNothing) {
    char dir[] = "/tmp/kv-ctl.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    for (const bool backlog_full : {false, true}) {
        SCOPED_TRACE(backlog_full ? "backlog full" : "waiting in the backlog");
        const std::string path = std::string(dir) + "/control.sock";
        const unique_fd listener = unix_socket_at(path, backlog_full ? 0 : 16);
        ASSERT_TRUE(listener);
        unique_fd queued;
        if (backlog_full) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, path.c_str());
            queued.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            ASSERT_EQ(
                connect(queued.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
                0);
        }
        const auto start = std::chrono::steady_clock::now();
        const run_result result = run_binary({KELVANTORCTL_BINARY, "-s", path, "-t", "1", "stats"},
                                             std::chrono::seconds(10));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result.status, 69) << result.err;
        EXPECT_EQ(result.err, "kelvantorctl: timed out after 1 s waiting for " + path + "\n");
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::seconds(3));
        unlink(path.c_str());
    }
    rmdir(dir);
}

TEST(kelvantorctl_test, HelpAndVersionGoToStandardOutput) {
    for (const char* option : {"--help", "-h"}) {
        const run_result help = run_binary({KELVANTORCTL_BINARY, option});
        EXPECT_EQ(help.status, 0) << option << ": " << help.err;
        EXPECT_EQ(help.out.rfind("usage: kelvantorctl ", 0), 0U) << help.out;
        EXPECT_NE(help.out.find("import FILE"), std::string::npos) << help.out;
        EXPECT_EQ(help.err, "");
    }
    const run_result version = run_binary({KELVANTORCTL_BINARY, "--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, std::string("kelvantorctl version ") + program_version + "\n");
    EXPECT_EQ(run_binary({KELVANTORCTL_BINARY, "--frobnicate"}).status, 2);
}

TEST(kelvantorctl_test, RefusesABadTime) {
    for (const char* bad : {"0", "-1", "x", "5s", "86401"}) {
        const run_result result = run_binary({KELVANTORCTL_BINARY, "-t", bad, "stats"});
        EXPECT_EQ(result.status, 2) << bad;
    }
}

}  // namespace
}  // namespace kelvantor::testing
