// The control protocol: each command's answer against a cache with known
// contents, the refusals of bad input, and the server over a real socket: a
// stale socket replaced, the mode, an over-long line, a silent client that
// gets a timeout while the next one is still served, one that trickles its
// request cut off at the same deadline, imports of cache file lines, a dump
// that a client stops reading, and the socket removed at the stop.
#include "control/control.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "backend/server_health.h"
#include "cache/cache_fixture.h"
#include "metrics/metrics.h"
#include "routing/routes.h"
#include "shared/redis_server.h"
#include "shared/shared_store.h"

namespace kelvantor::testing {
namespace {

constexpr std::int64_t t0 = 1000000;

class control_test : public cache_test {
protected:
    control_config config;
    std::string answer(const std::string& request) { return control_answer(request, config); }
};

TEST_F(control_test, LookupGivesVerdictAgeAndRemainingCaseIgnored) {
    verdict_add("known@example.org", VERDICT_VALID);
    verdict_add("unknown@example.org", VERDICT_INVALID);
    set_time(t0 + 10);
    EXPECT_EQ(answer("lookup KNOWN@example.org"), "valid 10 86390\n");
    EXPECT_EQ(answer("lookup unknown@Example.Org\r"), "invalid 10 2990\n");
    EXPECT_EQ(answer("lookup other@example.org"), "none\n");
}

TEST_F(control_test, PurgesCountWhatTheyRemove) {
    verdict_add("a@example.org", VERDICT_VALID);
    verdict_add("A@example.org", VERDICT_INVALID);
    verdict_add("b@example.org", VERDICT_INVALID);
    verdict_add("c@mail.example.org", VERDICT_INVALID);
    verdict_add("d@notexample.org", VERDICT_VALID);
    verdict_add("e@other.net", VERDICT_INVALID);
    EXPECT_EQ(answer("purge a@EXAMPLE.org"), "purged 2\n");
    EXPECT_EQ(answer("purge a@example.org"), "purged 0\n");
    EXPECT_EQ(answer("lookup a@example.org"), "none\n");
    // Without subdomain routes only the domain itself; never a name that merely ends alike.
    EXPECT_EQ(answer("purge-domain Example.org"), "purged 1\n");
    EXPECT_EQ(answer("lookup c@mail.example.org"), "invalid 0 3000\n");
    config.subdomains = true;
    EXPECT_EQ(answer("purge-domain example.org"), "purged 1\n");
    EXPECT_EQ(answer("lookup d@notexample.org"), "valid 0 86400\n");
    EXPECT_EQ(answer("purge-invalid"), "purged 1\n");
    EXPECT_EQ(answer("lookup e@other.net"), "none\n");
    EXPECT_EQ(answer("lookup d@notexample.org"), "valid 0 86400\n");
}

// With a shared store, lookups say where the verdict is (one only in the
// store is judged by this filter's lifetimes) and purges remove it there too.
TEST_F(control_test, WithASharedStoreAnswersSayWhereAndPurgesReachIt) {
    if (!redis_server::installed()) GTEST_SKIP() << "no redis-server";
    redis_server redis;
    ASSERT_TRUE(redis.start());
    shared_store_config shared;
    shared.host = redis.socket_path();
    shared.unix_socket = true;
    shared.valid_lifetime = std::chrono::seconds(86400);
    shared.invalid_lifetime = std::chrono::seconds(3000);
    ASSERT_TRUE(shared_store_start(shared));
    for (int i = 0; i < 1000 && stats_text().find("shared_cache_up 1") == std::string::npos; ++i) {
        poll(nullptr, 0, 5);
    }
    verdict_add("here@example.org", VERDICT_VALID);
    const std::string now = std::to_string(t0);
    redis.run({"SET", "kelvantor:<here@example.org>", "0 " + now});
    redis.run({"SET", "kelvantor:<there@example.org>", "1 " + std::to_string(t0 - 100)});
    redis.run({"SET", "kelvantor:<old@example.org>", "1 " + std::to_string(t0 - 3001)});
    redis.run({"SET", "kelvantor:<c@example.org>", "0 " + now});
    redis.run({"SET", "kelvantor:<b@sub.example.org>", "1 " + now});

    EXPECT_EQ(answer("lookup Here@example.org"), "valid 0 86400 in-process\n");
    EXPECT_EQ(answer("lookup there@example.org"), "invalid 100 2900 shared\n");
    EXPECT_EQ(answer("lookup old@example.org"), "none\n");
    EXPECT_EQ(answer("lookup there@example.org"), "invalid 100 2900 shared\n");  // not adopted
    EXPECT_EQ(answer("purge here@example.org"), "purged 1\nshared purged 1\n");
    EXPECT_EQ(answer("purge-domain example.org"), "purged 0\nshared purged 3\n");
    EXPECT_EQ(answer("purge-invalid"), "purged 0\nshared purged 1\n");
    EXPECT_EQ(redis.run({"DBSIZE"}), "0");
    redis.kill();
    EXPECT_EQ(answer("purge c@example.org"), "purged 0\nshared unavailable\n");
    shared_store_stop();
}

TEST_F(control_test, DomainIsTheTextAfterTheLastAt) {
    verdict_add("\"odd@quoted\"@example.org", VERDICT_VALID);
    verdict_add("trailing@example.org@", VERDICT_VALID);
    EXPECT_EQ(answer("purge-domain quoted\"@example.org"), "purged 0\n");
    EXPECT_EQ(answer("purge-domain example.org@"), "purged 1\n");
    EXPECT_EQ(answer("purge-domain example.org"), "purged 1\n");
}

TEST_F(control_test, SaveWritesTheConfiguredFileOrRefuses) {
    EXPECT_EQ(answer("save"), "error no cache file configured\n");
    char dir[] = "/tmp/kv-control.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/verdicts";
    config.cache_path = path.c_str();
    verdict_add("a@example.org", VERDICT_VALID);
    verdict_add("b@example.org", VERDICT_INVALID);
    EXPECT_EQ(answer("save"), "saved 2\n");
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "0 a@example.org\n1 b@example.org\n");
    const std::string missing = std::string(dir) + "/missing/verdicts";
    config.cache_path = missing.c_str();
    EXPECT_EQ(answer("save"), "error save failed (see the log)\n");
    std::remove(path.c_str());
    rmdir(dir);
}

TEST_F(control_test, ReloadAnswersWhatTheHandlerSays) {
    EXPECT_EQ(answer("reload"), "error reload not available\n");
    bool take = true;
    int calls = 0;
    config.reload = [&](std::string& why) {
        ++calls;
        if (!take) why = "/etc/k.conf has 2 error(s), the running configuration stays";
        return take;
    };
    EXPECT_EQ(answer("reload"), "reloaded\n");
    take = false;
    EXPECT_EQ(answer("reload"),
              "error not reloaded: /etc/k.conf has 2 error(s), the running configuration stays\n");
    EXPECT_EQ(answer("reload now"), "error unexpected argument\n");
    EXPECT_EQ(calls, 2);
}

TEST_F(control_test, DumpGivesCacheFileLinesOfTheClassAndACount) {
    verdict_add("a@example.org", VERDICT_VALID);
    verdict_add("b@example.org", VERDICT_INVALID);
    verdict_add("c@example.org", VERDICT_VALID);
    EXPECT_EQ(answer("dump"), "0 a@example.org\n1 b@example.org\n0 c@example.org\ndumped 3\n");
    EXPECT_EQ(answer("dump valid"), "0 a@example.org\n0 c@example.org\ndumped 2\n");
    EXPECT_EQ(answer("dump invalid"), "1 b@example.org\ndumped 1\n");
    set_time(t0 + 3001);  // the invalid verdict has expired
    EXPECT_EQ(answer("dump invalid"), "dumped 0\n");
    EXPECT_EQ(answer("dump all"), "error dump takes valid or invalid\n");
}

TEST_F(control_test, BadRequestsGetAnErrorLine) {
    EXPECT_EQ(answer(""), "error unknown command\n");
    EXPECT_EQ(answer("LOOKUP a@b"), "error unknown command\n");
    EXPECT_EQ(answer("flush"), "error unknown command\n");
    EXPECT_EQ(answer("lookup"), "error missing argument\n");
    EXPECT_EQ(answer("purge   "), "error missing argument\n");
    EXPECT_EQ(answer("purge-invalid now"), "error unexpected argument\n");
    EXPECT_EQ(answer("stats x"), "error unexpected argument\n");
}

TEST_F(control_test, StatsAndMetricsEndInALineFeed) {
    const std::string stats = answer("stats");
    const std::string metrics = answer("metrics");
    ASSERT_FALSE(stats.empty());
    ASSERT_FALSE(metrics.empty());
    EXPECT_EQ(stats.back(), '\n');
    EXPECT_EQ(metrics.back(), '\n');
}

// One line per server of the routes in force, asked or not, and of any
// server asked since; a failure shows with its age and errno.
TEST_F(control_test, BackendsShowsEachServersCircuitProbesAndLastError) {
    sockaddr_storage down{};
    down.ss_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.7", &reinterpret_cast<sockaddr_in&>(down).sin_addr);
    sockaddr_storage idle = down;
    inet_pton(AF_INET, "127.0.0.8", &reinterpret_cast<sockaddr_in&>(idle).sin_addr);
    ASSERT_TRUE(route_add("down.test", 2601, down));
    ASSERT_TRUE(route_add("idle.test", 2602, idle));
    server_health& health = server_health_of({down, 2601});
    metrics_reset();
    count_probe(health, probe_reply::accepted, std::chrono::milliseconds(1));
    count_probe(health, probe_reply::no_reply, std::chrono::milliseconds(1));
    count_unreachable_probe(health);
    health.note_error("cannot connect", ECONNREFUSED);
    health.set_circuit_open(true);

    const std::string backends = answer("backends");
    route_list_clear();
    EXPECT_TRUE(std::regex_search(
        backends, std::regex("(^|\n)127\\.0\\.0\\.7:2601 circuit open probes 2 no-reply 1 "
                             "unreachable 1 last-error [0-9]+ cannot connect: Connection "
                             "refused\n")))
        << backends;
    EXPECT_NE(backends.find("127.0.0.8:2602 circuit closed probes 0 no-reply 0 unreachable 0 "
                            "last-error none\n"),
              std::string::npos)
        << backends;
    EXPECT_LT(backends.find("127.0.0.7:"), backends.find("127.0.0.8:")) << "sorted by name";
    EXPECT_EQ(answer("backends now"), "error unexpected argument\n");
}

// ---- over the socket ----------------------------------------------------------

int connect_to(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes, within a bound.
std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return text + "<no end>";
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// end_sending: the client shuts its side down after the bytes, as for an import.
std::string ask(const std::string& path, const std::string& bytes, bool end_sending = false) {
    const int fd = connect_to(path);
    if (fd < 0) return "<no connection>";
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (end_sending) shutdown(fd, SHUT_WR);
    std::string text = read_all(fd);
    close(fd);
    return text;
}

class control_socket_test : public control_test {
protected:
    void SetUp() override {
        control_test::SetUp();
        ASSERT_NE(mkdtemp(dir_), nullptr);
        path_ = std::string(dir_) + "/control.sock";
        config.socket_path = path_;
        config.client_wait = std::chrono::milliseconds(300);
    }
    void TearDown() override {
        control_stop();
        unlink(path_.c_str());
        rmdir(dir_);
        control_test::TearDown();
    }
    char dir_[32] = "/tmp/kv-control-sock.XXXXXX";
    std::string path_;
};

TEST_F(control_socket_test, ReplacesAStaleSocketAndServesWithMode0600) {
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        close(stale);
    }
    ASSERT_TRUE(control_start(config));
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
    verdict_add("known@example.org", VERDICT_VALID);
    EXPECT_EQ(ask(path_, "lookup known@example.org\n"), "valid 0 86400\n");
    control_stop();
    EXPECT_NE(access(path_.c_str(), F_OK), 0) << "the socket outlived the stop";
}

TEST_F(control_socket_test, GroupAccessGivesMode0660) {
    config.group_access = true;
    ASSERT_TRUE(control_start(config));
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660U);
}

TEST_F(control_socket_test, RefusesToReplaceAFile) {
    std::ofstream(path_) << "not a socket\n";
    EXPECT_FALSE(control_start(config));
    std::ifstream in(path_);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "not a socket");
}

TEST_F(control_socket_test, OverLongLinesAndSilentClientsGetErrorsAndTheNextIsServed) {
    ASSERT_TRUE(control_start(config));
    EXPECT_EQ(ask(path_, "lookup " + std::string(control_line_limit, 'a') + "\n"),
              "error line too long\n");
    // At the limit exactly: served.
    const std::string longest = "lookup " + std::string(control_line_limit - 7, 'a');
    EXPECT_EQ(ask(path_, longest + "\n"), "none\n");
    // Past the limit without any line end.
    EXPECT_EQ(ask(path_, std::string(control_line_limit + 1, 'x')), "error line too long\n");

    const int silent = connect_to(path_);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(read_all(silent), "error timeout\n");
    close(silent);
    EXPECT_EQ(ask(path_, "purge-invalid\n"), "purged 0\n");
    // A request without a line end, ended by the client's shutdown.
    const int fd = connect_to(path_);
    ASSERT_GE(fd, 0);
    send(fd, "purge x@y", 9, MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_all(fd), "purged 0\n");
    close(fd);
}

// Lines are read as the cache file loader reads them; the rest are counted
// as skipped, and the dump hands the imported ones back.
TEST_F(control_socket_test, ImportAddsTheLinesTheLoaderWouldTake) {
    ASSERT_TRUE(control_start(config));
    const std::string longest(254 - std::string("@example.org").size(), 'l');
    const std::string lines =
        "0 a@example.org\n"
        "1 B@example.org\r\n"  // the carriage return is part of the address
        "garbage\n"
        "\n"
        "x b@example.org\n"
        "0 " +
        longest +
        "@example.org\n"
        "0 m" +
        longest +
        "@example.org\n"  // 255 characters: never cached
        "0 " +
        std::string(600, 'o') +
        "@example.org\n"
        "1 c@example.org";  // the last line without its line end
    EXPECT_EQ(ask(path_, "import\n" + lines, true), "imported 4 skipped 5\n");
    EXPECT_EQ(ask(path_, "dump\n"), "0 a@example.org\n1 B@example.org\r\n0 " + longest +
                                        "@example.org\n1 c@example.org\ndumped 4\n");
    EXPECT_EQ(ask(path_, "import\n", true), "imported 0 skipped 0\n");

    control_stop();
    config.import_line_limit = 2;
    ASSERT_TRUE(control_start(config));
    EXPECT_EQ(ask(path_, "import\n0 d@example.org\nbad\n0 e@example.org\n", true),
              "error more than 2 lines: imported 1 skipped 1\n");
    EXPECT_EQ(ask(path_, "lookup e@example.org\n"), "none\n");
    // A client that never ends its import is cut off at the wait, with what it sent taken.
    const int fd = connect_to(path_);
    ASSERT_GE(fd, 0);
    send(fd, "import\n0 f@example.org\n", 24, MSG_NOSIGNAL);
    EXPECT_EQ(read_all(fd), "error timeout: imported 1 skipped 0\n");
    close(fd);
}

// A client that asks for a dump and reads nothing holds the server only for
// the wait of one chunk; the next client is served.
TEST_F(control_socket_test, ADumpNobodyReadsEndsAtTheWait) {
    for (int i = 0; i < 20000; ++i) {
        verdict_add("someone-with-a-long-name-" + std::to_string(i) + "@example.org",
                    VERDICT_VALID);
    }
    ASSERT_TRUE(control_start(config));
    const int stuck = connect_to(path_);
    ASSERT_GE(stuck, 0);
    send(stuck, "dump\n", 5, MSG_NOSIGNAL);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(path_, "lookup someone-with-a-long-name-7@example.org\n"), "valid 0 86400\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, config.client_wait * 4);
    // What the stuck client got is the start of the dump, short of its closing line.
    const std::string got = read_all(stuck);
    EXPECT_EQ(got.rfind("0 someone-with-a-long-name-0@example.org\n", 0), 0U);
    EXPECT_EQ(got.find("dumped"), std::string::npos);
    close(stuck);
}

// The wait counts from the accept: a byte every 50 ms does not extend it.
TEST_F(control_socket_test, ATricklingClientIsCutOffAtTheDeadline) {
    ASSERT_TRUE(control_start(config));
    const int fd = connect_to(path_);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    std::string text;
    for (int i = 0; i < 100 && text.empty(); ++i) {
        send(fd, "l", 1, MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) text = read_all(fd);
    }
    close(fd);
    EXPECT_EQ(text, "error timeout\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, config.client_wait * 3);
}

}  // namespace
}  // namespace kelvantor::testing
