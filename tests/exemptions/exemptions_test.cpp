// Exempt networks and daemon names: prefix lengths and address bits, the
// defaults added after the configuration, daemon names in any case, and
// lack of memory while adding.
#include "exemptions/exemptions.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "routing/failing_alloc.h"
#include "support/log_capture.h"

namespace kelvantor {
namespace {

class exemption_test : public ::testing::Test {
protected:
    void SetUp() override { exemption_lists_clear(); }
    void TearDown() override { exemption_lists_clear(); }
};

struct network_case {
    const char* name;
    std::vector<std::pair<const char*, std::uint16_t>> networks;
    const char* client;
    bool exempt;
};

const network_case network_cases[] = {
    {"inside_slash_8", {{"10.0.0.0", 8}}, "10.1.2.3", true},
    {"outside_slash_8", {{"10.0.0.0", 8}}, "11.0.0.1", false},
    {"bits_beyond_prefix_ignored", {{"10.1.2.3", 8}}, "10.200.0.1", true},
    {"slash_0_takes_all", {{"192.0.2.77", 0}}, "255.255.255.255", true},
    {"slash_32_exact", {{"10.0.0.1", 32}}, "10.0.0.1", true},
    {"slash_32_neighbour", {{"10.0.0.1", 32}}, "10.0.0.0", false},
    {"slash_31_pair", {{"10.0.0.2", 31}}, "10.0.0.3", true},
    {"slash_1_upper_half", {{"128.0.0.0", 1}}, "200.1.1.1", true},
    {"slash_1_lower_half", {{"128.0.0.0", 1}}, "127.255.255.255", false},
    {"slash_24_byte_order", {{"192.168.1.0", 24}}, "0.1.168.192", false},
    {"second_entry", {{"10.0.0.0", 8}, {"192.168.0.0", 16}}, "192.168.5.5", true},
    {"above_32_whole_address", {{"10.0.0.1", 40}}, "10.0.0.2", false},
    {"empty_list", {}, "127.0.0.1", false},
};

class network_match_test : public exemption_test,
                           public ::testing::WithParamInterface<network_case> {};

TEST_P(network_match_test, matches) {
    const network_case& c = GetParam();
    for (const auto& [address, prefix_len] : c.networks) {
        ASSERT_TRUE(skip_net_add(inet_addr(address), prefix_len));
    }
    EXPECT_EQ(skip_net_match(inet_addr(c.client)), c.exempt);
}

INSTANTIATE_TEST_SUITE_P(edge_cases, network_match_test, ::testing::ValuesIn(network_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(exemption_test, defaults_without_configured_daemon) {
    testing::log_capture log;
    add_skip_defaults();
    EXPECT_TRUE(log.contains(LOG_DEBUG, "BackSkipVerify set 127.0.0.1")) << log.dump();
    EXPECT_TRUE(log.contains(LOG_DEBUG, "BackSkipDaemon MSA")) << log.dump();
    EXPECT_TRUE(skip_net_match(inet_addr("127.0.0.1")));
    EXPECT_FALSE(skip_net_match(inet_addr("127.0.0.2")));
    EXPECT_TRUE(skip_daemon_match("MSA"));
    EXPECT_TRUE(skip_daemon_match("msa"));
    EXPECT_FALSE(skip_daemon_match("MSA2"));
    EXPECT_FALSE(skip_daemon_match(""));
    EXPECT_FALSE(skip_daemon_match(nullptr));
}

TEST_F(exemption_test, configured_daemon_replaces_msa) {
    ASSERT_TRUE(skip_daemon_add("mx-in.local"));
    testing::log_capture log;
    add_skip_defaults();
    EXPECT_EQ(log.count("BackSkipDaemon MSA"), 0) << log.dump();
    EXPECT_TRUE(log.contains(LOG_DEBUG, "BackSkipVerify set 127.0.0.1")) << log.dump();
    EXPECT_FALSE(skip_daemon_match("MSA"));
    EXPECT_TRUE(skip_daemon_match("MX-In.Local"));
}

TEST_F(exemption_test, adds_report_lack_of_memory_and_add_nothing) {
    bool added[2] = {true, true};
    {
        testing::failing_allocations failing;
        added[0] = skip_net_add(inet_addr("10.0.0.0"), 8);
        added[1] = skip_daemon_add("mx-in");
    }
    EXPECT_FALSE(added[0]);
    EXPECT_FALSE(added[1]);
    EXPECT_FALSE(skip_net_match(inet_addr("10.0.0.1")));
    EXPECT_FALSE(skip_daemon_match("mx-in"));
}

void stderr_sink(int priority, const char* message) {
    std::fprintf(stderr, "%d %s\n", priority, message);
}

TEST_F(exemption_test, defaults_without_memory_exit_silently) {
    EXPECT_EXIT(
        {
            set_log_sink(stderr_sink);
            testing::failing_allocations failing;
            add_skip_defaults();
        },
        ::testing::ExitedWithCode(71), "^$");
}

}  // namespace
}  // namespace kelvantor
