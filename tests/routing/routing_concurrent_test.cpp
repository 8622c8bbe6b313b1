// Route lookups and exemption matches from several threads at once, as the
// milter connection threads run them; meant to run under ThreadSanitizer.
// Every thread checks each answer against the one known in advance.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "routing/routes.h"

namespace kelvantor {
namespace {

TEST(routing_concurrent, lookups_and_matches_from_many_threads) {
    settings = {};
    route_list_clear();
    exemption_lists_clear();
    route_match_subdomains(true);
    sockaddr_storage server{};
    server.ss_family = AF_INET;
    ASSERT_TRUE(route_add("example.com", 2525, server));
    ASSERT_TRUE(route_add("Example.ORG", 587, server));
    ASSERT_TRUE(skip_net_add(inet_addr("10.0.0.0"), 8));
    ASSERT_TRUE(skip_daemon_add("MSA"));
    ASSERT_EQ(skip_net_lock_init(), 0);

    constexpr int thread_count = 4;
    constexpr int rounds = 20000;
    std::vector<int> wrong(thread_count, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < rounds; ++i) {
                wrong[t] += route_lookup("mail.EXAMPLE.com").port != 2525;
                wrong[t] += route_lookup("example.org").port != 587;
                wrong[t] += route_lookup("mailexample.com").server_addr.ss_family != AF_UNSPEC;
                wrong[t] += !skip_net_match(inet_addr("10.9.8.7"));
                wrong[t] += skip_net_match(inet_addr("11.0.0.1"));
                wrong[t] += !skip_daemon_match("msa");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < thread_count; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;

    route_list_clear();
    exemption_lists_clear();
}

}  // namespace
}  // namespace kelvantor
