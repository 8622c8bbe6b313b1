// Route lookup over the subdomain, case and ordering edge cases, and route_add
// when memory runs out.  Route i of a case (in configuration order) gets port
// 1000 + i and server 10.0.0.(i + 1), so the test can tell which one was found.
#include "routing/routes.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "routing/failing_alloc.h"

namespace kelvantor {
namespace {

sockaddr_storage ipv4_server(int index) {
    sockaddr_storage storage{};
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x0a000001 + index);
    return storage;
}

class route_test : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        settings = {};
        route_list_clear();
    }
};

struct lookup_case {
    const char* name;
    std::vector<std::string> routes;  // in configuration order
    bool subdomains;
    std::string recipient;
    int expected;  // index into routes, -1 for no route
};

const lookup_case lookup_cases[] = {
    {"exact", {"example.com"}, false, "example.com", 0},
    {"subdomain_when_off", {"example.com"}, false, "mail.example.com", -1},
    {"subdomain_when_on", {"example.com"}, true, "mail.example.com", 0},
    {"deep_subdomain", {"example.com"}, true, "a.b.example.com", 0},
    {"no_dot_before", {"example.com"}, true, "mailexample.com", -1},
    {"first_occurrence_at_start", {"example.com"}, true, "example.com.example.com", -1},
    {"first_occurrence_not_at_end", {"example.com"}, true, "x.example.com.example.com", -1},
    {"case_ignored", {"EXAMPLE.az"}, false, "Example.AZ", 0},
    {"case_ignored_in_subdomain", {"Example.Com"}, true, "MAIL.EXAMPLE.COM", 0},
    {"high_bytes_not_folded", {"\xc4.example"}, false, "\xe4.example", -1},
    // sendmail writes canonical names with a trailing dot.
    {"one_trailing_dot", {"example.com"}, true, "example.com.", 0},
    {"one_trailing_dot_subdomain", {"example.com"}, true, "mail.Example.com.", 0},
    {"two_trailing_dots", {"example.com"}, true, "example.com..", -1},
    {"only_a_dot", {"example.com"}, true, ".", -1},
    {"empty_recipient", {"example.com"}, true, "", -1},
    {"empty_route_domain", {""}, true, "example.com", -1},
    {"later_route_tried_first", {"example.com", "sub.example.com"}, true, "a.sub.example.com", 1},
    {"subdomain_nearer_head_wins",
     {"sub.example.com", "example.com"},
     true,
     "a.sub.example.com",
     1},
    {"no_rank_for_exactness", {"sub.example.com", "example.com"}, true, "sub.example.com", 1},
    {"duplicate_read_later_found", {"example.com", "example.com"}, false, "example.com", 1},
};

class route_lookup_test : public route_test, public ::testing::WithParamInterface<lookup_case> {};

TEST_P(route_lookup_test, finds_expected_route) {
    const lookup_case& c = GetParam();
    route_match_subdomains(c.subdomains);
    settings.smtp_port = 2525;  // the no-route port is fixed, not this setting
    for (std::size_t i = 0; i < c.routes.size(); ++i) {
        ASSERT_TRUE(route_add(c.routes[i], static_cast<std::uint16_t>(1000 + i),
                              ipv4_server(static_cast<int>(i))));
    }
    const route_target target = route_lookup(c.recipient);
    const auto& address = reinterpret_cast<const sockaddr_in&>(target.server_addr);
    if (c.expected < 0) {
        EXPECT_EQ(target.port, 25);
        EXPECT_EQ(target.server_addr.ss_family, AF_UNSPEC);
        EXPECT_EQ(address.sin_addr.s_addr, 0u);
    } else {
        EXPECT_EQ(target.port, 1000 + c.expected);
        EXPECT_EQ(target.server_addr.ss_family, AF_INET);
        EXPECT_EQ(ntohl(address.sin_addr.s_addr), 0x0a000001u + c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(edge_cases, route_lookup_test, ::testing::ValuesIn(lookup_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(route_test, add_reports_lack_of_memory_and_adds_nothing) {
    bool added[2] = {true, true};
    {
        testing::failing_allocations failing;
        added[0] = route_add("example.com", 25, ipv4_server(0));
        added[1] = route_add("a-domain-longer-than-any-inline-string.example", 25, ipv4_server(0));
    }
    EXPECT_FALSE(added[0]);
    EXPECT_FALSE(added[1]);
    EXPECT_TRUE(route_list_empty());
    EXPECT_TRUE(route_add("example.com", 25, ipv4_server(0)));
    EXPECT_FALSE(route_list_empty());
}

TEST(domain_of_test, TakesTextAfterLastUsableAt) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"x@y", "y"}, {"x@y@z", "z"}, {"@y", "y"},    {"x@", "x@"},
        {"x", "x"},   {"", ""},       {"a@b@", "b@"},
    };
    for (const auto& [address, domain] : cases) {
        EXPECT_EQ(domain_of(address), domain) << address;
    }
}

}  // namespace
}  // namespace kelvantor
