// Reloads while connection threads read: routes, exemptions and the run-time
// settings are replaced under readers that must only ever see one whole
// configuration or the other (ThreadSanitizer runs this too).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/periodic_save.h"
#include "cache/verdict_cache.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "routing/routes.h"
#include "startup/reload.h"
#include "support/log_capture.h"

namespace kelvantor {
namespace {

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

TEST(reload_concurrent_test, ReadersSeeOneWholeConfigurationOrTheOther) {
    testing::log_capture log;
    char path_template[] = "/tmp/kv-reload-XXXXXX";
    const int fd = mkstemp(path_template);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string path = path_template;
    const std::string first =
        "BackSMTPServer:127.0.0.1\nBackSMTPPort:02525\nBackAddrDomain:a.test\n"
        "BackSkipVerify:10.0.0.0/8\n";
    const std::string second =
        "BackSMTPServer:127.0.0.2\nBackSMTPPort:02526\nBackAddrDomain:b.test\n"
        "BackErrorTempfail:yes\nTimeoutSMTPReply:00009\n";
    settings = {};
    reload_prepare(path, settings);
    write_file(path, first);
    ASSERT_TRUE(reload_configuration()) << log.dump();

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 200000 && !done.load(); ++i) {
                const auto table = routes_installed();
                const route_target a = table->lookup("a.test");
                const route_target b = table->lookup("b.test");
                const bool a_routed = a.server_addr.ss_family == AF_INET;
                const bool b_routed = b.server_addr.ss_family == AF_INET;
                if ((a_routed && a.port != 2525) || (b_routed && b.port != 2526)) ++wrong;
                // Each table holds exactly one of the two domains.
                if (a_routed == b_routed) ++wrong;
                skip_net_match(inet_addr("10.1.2.3"));
                const bool tempfail = settings.tempfail_on_error;
                const int reply = settings.reply_timeout;
                if (reply != 3 && reply != 9) ++wrong;
                static_cast<void>(tempfail);
            }
        });
    }
    for (int n = 0; n < 40; ++n) {
        write_file(path, n % 2 == 0 ? second : first);
        EXPECT_TRUE(reload_configuration()) << "reload " << n << "\n" << log.dump();
    }
    // A broken file is refused: the routes in force (first) stay.
    write_file(path, "BackAddrDomain:c.test\n" + second);
    EXPECT_FALSE(reload_configuration());
    done = true;
    for (auto& reader : readers) reader.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(route_lookup("a.test").port, 2525);
    EXPECT_EQ(route_lookup("c.test").server_addr.ss_family, AF_UNSPEC);
    EXPECT_TRUE(skip_net_match(inet_addr("10.1.2.3")));
    EXPECT_FALSE(settings.tempfail_on_error);
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const testing::log_line& line) {
                                return line.text.starts_with("configuration reloaded: 1 routes");
                            }),
              41);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const testing::log_line& line) {
        return line.priority == LOG_ERR && line.text.starts_with("configuration not reloaded");
    })) << log.dump();
    std::remove(path.c_str());
    route_list_clear();
    exemption_lists_clear();
    settings = {};
}

// A reload puts the cache's lifetimes and bound and the save interval in
// force without a restart.
TEST(reload_concurrent_test, CacheLifetimesBoundAndSaveIntervalTakeEffect) {
    testing::log_capture log;
    char dir_template[] = "/tmp/kv-reload-cache-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string conf = dir + "/kv.conf";
    const std::string cache = dir + "/verdicts";
    const std::string routes = "BackSMTPServer:127.0.0.1\nBackAddrDomain:a.test\n";
    settings = {};
    settings.cache_path = cache;
    ASSERT_EQ(verdict_cache_init(settings.valid_ttl, settings.invalid_ttl), 0);
    reload_prepare(conf, settings);
    write_file(conf, routes +
                         "BackValidAddrExp:0000100\nBackInvalidAddrExp:0000050\n"
                         "BackCacheMaxEntries:0000000003\nBackListSaveInterval:0000001\n");
    ASSERT_TRUE(reload_configuration()) << log.dump();
    EXPECT_EQ(verdict_lifetime(VERDICT_VALID), 100);
    EXPECT_EQ(verdict_lifetime(VERDICT_INVALID), 50);
    for (int i = 0; i < 5; ++i) verdict_add("u" + std::to_string(i) + "@a.test", VERDICT_VALID);
    EXPECT_EQ(verdict_cache_statistics().entries, 3U);
    // Periodic saves were off (no interval at start): now one comes within seconds.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (access(cache.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(access(cache.c_str(), F_OK), 0) << "no periodic save after the reload";
    write_file(conf, routes + "BackListSaveInterval:0000000\n");
    ASSERT_TRUE(reload_configuration()) << log.dump();
    EXPECT_EQ(verdict_lifetime(VERDICT_VALID), 86400);
    periodic_save_stop();
    std::remove(cache.c_str());
    std::remove(conf.c_str());
    rmdir(dir.c_str());
    route_list_clear();
    exemption_lists_clear();
    settings = {};
}

}  // namespace
}  // namespace kelvantor
