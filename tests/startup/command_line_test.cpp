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
    "usage: kelvantor -p protocol:address [-u user] [-g group] [-T timeout]\n"
    "                 [-f config] [-P pidfile] [-b path] [-D] [-n]\n"
    "  -p spec     milter socket: inet:PORT@ADDRESS, inet6:PORT@ADDRESS or unix:/path\n"
    "  -u user     run as this user (and its primary group)\n"
    "  -g group    run with this group; the milter socket and the cache file\n"
    "              become group-readable and -writable\n"
    "  -T seconds  libmilter I/O timeout towards the MTA\n"
    "  -f path     configuration file (default /usr/local/etc/mail/kelvantor.conf)\n"
    "  -b path     cache file of verdicts (a BackList line wins)\n"
    "  -P path     pid file in daemon mode (default /var/run/kelvantor.pid)\n"
    "  -D          run as a daemon\n"
    "  -n          check the configuration: print every problem, exit 0 or 71\n"
    "  -h, -v      print this text and exit\n";

TEST(command_line_test, UsageForHelpVersionAndUnknownOptions) {
    for (const char* option : {"-h", "-v", "-R", "-d", "-x"}) {
        const run_result run = run_binary({binary, option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.out, usage_text) << option;
    }
    // getopt reports an option the program does not take.
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
        EXPECT_EQ(run.status, 77) << argv[1] << " " << argv.back();
        EXPECT_EQ(run.out, "") << argv[1] << " " << argv.back();
        EXPECT_EQ(run.err, "kelvantor cannot run as root\n") << argv[1] << " " << argv.back();
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
        EXPECT_EQ(run.status, 77) << user;
        EXPECT_EQ(run.err, "kelvantor cannot run as root\n") << user;
    }
}

// Start-up errors go to syslog, and also to standard error where somebody
// sees it: a terminal, or a journal (JOURNAL_STREAM, as systemd sets it).
TEST(command_line_test, MissingConfigurationEndsWith71AndSaysSo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody";
    const std::vector<std::string> argv = {
        binary, "-u", "nobody", "-p", "inet:1@127.0.0.1", "-f", "/nonexistent/kelvantor.conf"};
    ::unsetenv("JOURNAL_STREAM");
    ::unsetenv("INVOCATION_ID");
    const run_result quiet = run_binary(argv);
    EXPECT_EQ(quiet.status, 71);
    EXPECT_EQ(quiet.err, "");
    ::setenv("JOURNAL_STREAM", "8:1234", 1);
    const run_result seen = run_binary(argv);
    ::unsetenv("JOURNAL_STREAM");
    EXPECT_EQ(seen.status, 71);
    EXPECT_EQ(seen.err,
              "kelvantor: cannot open configuration file /nonexistent/kelvantor.conf: No such "
              "file or directory\n"
              "kelvantor: BackAddrDomain not defined\n");
}

// -n reads the file as start-up would and reports every problem with its
// place; the status is the one start-up would end with.
TEST(command_line_test, CheckReportsEveryProblemWithItsLine) {
    char dir_template[] = "/tmp/kv-check-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string good = std::string(dir_template) + "/good.conf";
    const std::string broken = std::string(dir_template) + "/broken.conf";
    std::ofstream(good) << "# a comment\n"
                           "BackSMTPServer:127.0.0.1\n"
                           "BackSMTPPort:02525\n"
                           "BackAddrDomain:example.com\n"
                           "BackAddrDomain:example.org\n"
                           "BackSkipVerify:10.0.0.0/8\n"
                           "\n";
    std::ofstream(broken) << "BackAddrDomain:early.example\n"  // 1: before any server
                             "BackSMTPServr:127.0.0.1\n"       // 2: typo
                             "BackSMTPPort:25\n"               // 3: too short
                             "BackSMTPServer:127.0.0.1\n"
                             "BackAddrDomain:example.com\n"
                             "BackAddrDomain:Example.COM\n"  // 6: routed again
                             "BackErrorTempfail:no\n"        // 7: only yes
                             "BackCacheMaxEntries:lots\n"    // 8: fatal at start-up
                             "PreferIPVersion:6\n"
                             "BackSMTPServer:127.0.0.1\n"         // 10: no IPv6 address
                             "BackAddrDomain:other.example\n"     // 11: server refused
                             "TimeoutSMTPReply:00005 seconds\n";  // 12: text after value

    const run_result ok = run_binary({binary, "-n", "-f", good});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ok.out, good +
                          ": 2 routes to 1 server, 2 exempt networks, 1 exempt daemon; "
                          "0 errors, 0 notes\n");

    const run_result bad = run_binary({binary, "-n", "-f", broken});
    EXPECT_EQ(bad.status, 71);
    for (const char* expected : {
             ":1: BackSMTPServer should be defined before BackAddrDomain",
             ":2: unknown keyword \"BackSMTPServr\", line ignored",
             ":3: a line shorter than 17 characters is ignored",
             ":6: BackAddrDomain Example.COM routed again: this line replaces line 5",
             ":7: BackErrorTempfail: only \"yes\" switches it on; \"no\" ignored",
             ":8: BackCacheMaxEntries invalid value \"lots\"",
             ":10: BackSMTPServer incorrect 127.0.0.1 ",
             ":12: TimeoutSMTPReply: text after the value ignored: \" seconds\"",
         }) {
        EXPECT_NE(bad.err.find(broken + expected), std::string::npos) << expected << "\n"
                                                                      << bad.err;
    }
    EXPECT_EQ(bad.err.find(":11:"), std::string::npos) << "no second report for line 10";
    EXPECT_NE(bad.out.find("1 route to 1 server"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("3 errors"), std::string::npos) << bad.out;

    const run_result missing = run_binary({binary, "-n", "-f", "/nonexistent/kv.conf"});
    EXPECT_EQ(missing.status, 71);
    EXPECT_EQ(missing.err.rfind("/nonexistent/kv.conf: cannot open: ", 0), 0U) << missing.err;
    std::remove(good.c_str());
    std::remove(broken.c_str());
    rmdir(dir_template);
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
