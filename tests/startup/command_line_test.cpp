// The command line of the real binary: usage text, refusals of empty
// arguments and their exit statuses, the stale socket removal, and the
// early exits (parent process 1, running as root); options end at the first
// operand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "run_binary.h"

namespace kelvantor::testing {
namespace {

const std::string binary = KELVANTOR_BINARY;

const std::string usage_text =
    "kelvantor version 1.5.1-pre2\n"
    "  Features:\n"
    "  usage: kelvantor -p protocol:address [-u user] [-g group] [-T timeout]\n"
    "                                       [-f config] [-P pidfile] [-b path]\n"
    "                                       [-R] [-D]\n"
    "          -D run as a daemon\n"
    "          -u run as specified user\n"
    "          -f use specified configuration file\n"
    "          -P use specified pid file\n"
    "          -b read and save recipient addresses to file\n";

TEST(command_line_test, UsageForHelpVersionAndUnknownOptions) {
    for (const char* option : {"-h", "-v", "-R", "-d", "-x"}) {
        const run_result run = run_binary({binary, option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.out, usage_text) << option;
    }
    // getopt reports the option the usage text lists but the program does not take.
    EXPECT_NE(run_binary({binary, "-R"}).err.find("invalid option"), std::string::npos);
    const run_result missing = run_binary({binary, "-p"});
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out, usage_text);
}

TEST(command_line_test, EmptyArgumentsAreRefusedWith64) {
    const std::pair<const char*, const char*> cases[] = {
        {"-p", "Illegal connection: \n"},
        {"-T", "Illegal timeout: \n"},
        {"-u", "Invalid username\n"},
        {"-g", "Invalid group name\n"},
        {"-f", "Invalid configuration file\n"},
        {"-b", "Invalid file for backup of recipient addresses\n"},
        {"-P", "Invalid pid file\n"},
    };
    for (const auto& [option, message] : cases) {
        // The refusal comes before any later option is read.
        const run_result run = run_binary({binary, option, "", "-h"});
        EXPECT_EQ(run.status, 64) << option;
        EXPECT_EQ(run.err, message) << option;
        EXPECT_EQ(run.out, "") << option;
    }
}

// Reading stops at the first operand: what follows it is not acted on, so
// neither the usage text nor the refusal of an empty argument comes; the run
// ends at the refusal to run as root instead.
TEST(command_line_test, OptionsAfterAnOperandAreNotRead) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to end at the refusal to run as root";
    const std::vector<std::vector<std::string>> cases = {
        {binary, "stray", "-h"},
        {binary, "-p", "inet:1@127.0.0.1", "stray", "-v"},
        {binary, "stray", "-P", ""},
        {binary, "-p", "inet:1@127.0.0.1", "stray", "another", "-T", ""},
    };
    for (const auto& argv : cases) {
        const run_result run = run_binary(argv);
        EXPECT_EQ(run.status, 0) << argv[1] << " " << argv.back();
        EXPECT_EQ(run.out, "") << argv[1] << " " << argv.back();
        EXPECT_EQ(run.err, "") << argv[1] << " " << argv.back();
    }
}

TEST(command_line_test, LocalSocketSpecificationRemovesStaleSocketOnly) {
    char dir_template[] = "/tmp/kv-cli-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string stale = dir + "/filter.sock";
    const std::string kept = dir + "/kept";
    for (const std::string& spec : {"unix:" + stale, "local:" + stale}) {
        std::ofstream(stale) << "x";
        EXPECT_EQ(run_binary({binary, "-p", spec, "-h"}).status, 0);
        EXPECT_NE(access(stale.c_str(), F_OK), 0) << spec;
    }
    std::ofstream(kept) << "x";
    EXPECT_EQ(run_binary({binary, "-p", "inet:8891@127.0.0.1", "-p", kept, "-h"}).status, 0);
    EXPECT_EQ(access(kept.c_str(), F_OK), 0) << "a bare path is not removed";
    std::remove(kept.c_str());
    rmdir(dir.c_str());
}

TEST(command_line_test, RefusesToRunAsRoot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    // Without -u, and with a user that does not exist, the process stays root.
    for (const char* user : {"", "no-such-user-kv"}) {
        std::vector<std::string> argv = {binary, "-p", "inet:1@127.0.0.1"};
        if (*user != '\0') argv.insert(argv.end(), {"-u", user});
        const run_result run = run_binary(argv);
        EXPECT_EQ(run.status, 0) << user;
        EXPECT_EQ(run.err, "") << user;
    }
}

TEST(command_line_test, MissingConfigurationEndsWith71) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody";
    const run_result run = run_binary(
        {binary, "-u", "nobody", "-p", "inet:1@127.0.0.1", "-f", "/nonexistent/kelvantor.conf"});
    EXPECT_EQ(run.status, 71);
}

TEST(command_line_test, ParentInitMeansSilentExit) {
    if (geteuid() != 0 || std::system("unshare --fork --pid true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs a new pid namespace";
    }
    // In a new pid namespace the shell is process 1 and so the binary's parent.
    const run_result run = run_binary(
        {"/usr/bin/unshare", "--fork", "--pid", "/bin/sh", "-c", binary + " -h; echo status $?"});
    EXPECT_EQ(run.out, "status 0\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace kelvantor::testing
