// A reload puts another shared store server and prefix in force, and the
// lifetimes of a changed BackValidAddrExp; adding a store takes a restart.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "cache/verdict_cache.h"
#include "common/settings.h"
#include "shared/redis_server.h"
#include "shared/shared_store.h"
#include "startup/reload.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

TEST(shared_reload_test, AReloadMovesTheStoreAndItsLifetimes) {
    if (!testing::redis_server::installed()) GTEST_SKIP() << "no redis-server";
    testing::redis_server first;
    testing::redis_server second;
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());
    testing::log_capture log;
    char path_template[] = "/tmp/kv-sreload-XXXXXX";
    const int fd = mkstemp(path_template);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string path = path_template;
    const std::string routes = "BackSMTPServer:127.0.0.1\nBackAddrDomain:a.test\n";
    // As started with the first server.
    settings = {};
    reload_prepare(path, settings);
    settings.shared_cache_host = first.socket_path();
    ASSERT_EQ(verdict_cache_init(3600, 600), 0);
    ASSERT_TRUE(shared_store_start(shared_store_configuration()));

    std::ofstream(path, std::ios::trunc)
        << routes << "SharedCacheServer:unix:" << second.socket_path()
        << "\nSharedCachePrefix:eu:\nBackValidAddrExp:100\n";
    ASSERT_TRUE(reload_configuration()) << log.dump();
    EXPECT_EQ(log.count("shared cache settings reloaded"), 1);
    EXPECT_EQ(log.count("takes a restart"), 0);
    shared_publish("joe@a.test", VERDICT_VALID, wall_now());
    EXPECT_TRUE(eventually([&] {
        return second.run({"EXISTS", "eu:<joe@a.test>"}) == "1";
    })) << log.dump();
    EXPECT_LE(std::stoi(second.run({"TTL", "eu:<joe@a.test>"})), 100);
    EXPECT_EQ(first.run({"DBSIZE"}), "0");
    shared_store_stop();

    // Without a store at start, one in the file is kept for the restart.
    settings = {};
    reload_prepare(path, settings);
    ASSERT_TRUE(reload_configuration());
    EXPECT_TRUE(log.contains(LOG_WARNING,
                             "SharedCacheServer changed: it takes a restart, the running value "
                             "stays"));
    EXPECT_FALSE(settings.shared_cache_prefix);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace kelvantor
