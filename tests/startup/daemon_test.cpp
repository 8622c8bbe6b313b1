// The pid file: written to a file of the process's own, and never through
// what someone else put at the path (a link, a FIFO, a hard link, a file of
// another user), which is left as it was and logged with the path.
#include "startup/daemon.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/log_capture.h"

namespace kelvantor::testing {
namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void put(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

class pidfile_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kv_pidfile_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ / "kelvantor.pid";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path dir_;
    fs::path path_;
};

const std::string own_pid_line = std::to_string(getpid()) + "\n";

// An old file of its own, longer than the new line, is emptied first.
TEST_F(pidfile_test, OwnFileIsRewrittenWhole) {
    put(path_, "1234567890123456789\n");
    log_capture log;
    write_pidfile(path_.c_str());
    EXPECT_EQ(read(path_), own_pid_line);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

struct planted_case {
    const char* name;
    const char* reason;
    // Puts something at path; returns the file whose content must survive.
    fs::path (*plant)(const fs::path& dir, const fs::path& path);
};

void PrintTo(const planted_case& c, std::ostream* out) {
    *out << c.name;
}

class planted_pidfile_test : public pidfile_test,
                             public ::testing::WithParamInterface<planted_case> {};

// Bounded by an alarm in a child: an open that waited on the FIFO would hang.
TEST_P(planted_pidfile_test, IsRefusedAndLeftAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    const fs::path kept = GetParam().plant(dir_, path_);
    const std::string before = kept.empty() ? "" : read(kept);
    const std::string expected = "pidfile " + path_.string() + " refused: " + GetParam().reason;
    EXPECT_EXIT(
        {
            alarm(10);
            log_capture log;
            write_pidfile(path_.c_str());
            std::fputs(log.dump().c_str(), stderr);
            _exit(log.contains(LOG_ERR, expected) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    if (!kept.empty()) {
        EXPECT_EQ(read(kept), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    plants, planted_pidfile_test,
    ::testing::Values(planted_case{"symbolic_link", "a symbolic link",
                                   [](const fs::path& dir, const fs::path& path) {
                                       put(dir / "target", "precious\n");
                                       fs::create_symlink(dir / "target", path);
                                       return dir / "target";
                                   }},
                      planted_case{"dangling_link", "a symbolic link",
                                   [](const fs::path& dir, const fs::path& path) {
                                       fs::create_symlink(dir / "made-through-the-link", path);
                                       return dir / "made-through-the-link";  // must not appear
                                   }},
                      planted_case{"fifo", "not a regular file",
                                   [](const fs::path&, const fs::path& path) {
                                       EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
                                       return fs::path();
                                   }},
                      planted_case{"file_of_another_user", "owned by another user",
                                   [](const fs::path&, const fs::path& path) {
                                       put(path, "4242\n");
                                       EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
                                       return path;
                                   }},
                      planted_case{"hard_link", "more than one link to the file",
                                   [](const fs::path& dir, const fs::path& path) {
                                       put(dir / "other", "precious\n");
                                       fs::create_hard_link(dir / "other", path);
                                       return dir / "other";
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvantor::testing
