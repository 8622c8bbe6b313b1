// The configuration reader over its edge cases: line lengths, value widths
// and sets, numeric settings, flags, the cache path, the server/port/domain
// order, exempt networks and daemons, the fatal errors and lack of memory.
// Each case reads a small file written to a temporary path.
#include "startup/config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "common/exit_status.h"
#include "common/log.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "routing/failing_alloc.h"
#include "routing/routes.h"
#include "support/log_capture.h"

namespace kelvantor {
namespace {

void stderr_sink(int priority, const char* message) {
    std::fprintf(stderr, "%d %s\n", priority, message);
}

void silent_sink(int, const char*) {}

auto fields(const settings_record& s) {
    return std::tie(s.valid_ttl, s.invalid_ttl, s.smtp_port, s.connect_timeout_ms, s.reply_timeout,
                    s.subdomains, s.tempfail_on_error, s.log_verdicts, s.milter_fast_path,
                    s.catch_all_check, s.backend_max_connections, s.cache_path, s.cache_max_entries,
                    s.control_socket, s.save_interval, s.shared_cache_host, s.shared_cache_port,
                    s.shared_cache_prefix, s.shared_cache_timeout_ms, s.shared_cache_password,
                    s.shared_cache_sentinels, s.shared_cache_master_name,
                    s.shared_cache_sentinel_password);
}

class config_test : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        settings = {};
        route_list_clear();
        exemption_lists_clear();
    }
    std::vector<std::string> debug_lines(const testing::log_capture& log) {
        std::vector<std::string> texts;
        for (const auto& line : log.lines()) {
            EXPECT_EQ(line.priority, LOG_DEBUG) << line.text;
            // Notes on what a line holds that is not used ("-:LINE: ...") are
            // the check's business (check_test).
            if (line.text.rfind("-:", 0) != 0) texts.push_back(line.text);
        }
        return texts;
    }
};

struct settings_case {
    const char* name;
    std::string text;
    void (*change)(settings_record&);  // expected changes from the defaults
    std::vector<std::string> log;      // every line logged, in order
};

void none(settings_record&) {}

const std::string long_comment = "#" + std::string(1022, 'x');
const std::string long_path(255, 'p');

const settings_case settings_cases[] = {
    {"valid_ttl_eighth_digit_not_taken",
     "BackValidAddrExp:12345678\n",
     [](settings_record& s) { s.valid_ttl = 1234567; },
     {"BackValidAddrExp set to 1234567 seconds"}},
    {"valid_ttl_zero_keeps_default",
     "BackValidAddrExp:0\n",
     none,
     {"BackValidAddrExp set to 86400 seconds"}},
    {"later_line_wins",
     "BackValidAddrExp:99\nBackValidAddrExp:100\n",
     [](settings_record& s) { s.valid_ttl = 100; },
     {"BackValidAddrExp set to 99 seconds", "BackValidAddrExp set to 100 seconds"}},
    {"line_of_16_skipped", "BackSMTPPort:25\n", none, {}},
    {"line_of_17_read", "BackSMTPPort:025\n", none, {"BackSMTPPort set to 25"}},
    {"log_verdicts_read_though_short",
     "LogVerdicts:yes\n",
     [](settings_record& s) { s.log_verdicts = true; },
     {"LogVerdicts yes"}},
    {"last_line_without_newline_one_shorter", "BackSMTPPort:587", none, {}},
    {"last_line_without_newline_of_17",
     "BackSMTPPort:2525",
     [](settings_record& s) { s.smtp_port = 2525; },
     {"BackSMTPPort set to 2525"}},
    {"port_zero", "BackSMTPPort:00000\n", none, {"BackSMTPPort set to 25"}},
    {"highest_port",
     "BackSMTPPort:65535\n",
     [](settings_record& s) { s.smtp_port = 65535; },
     {"BackSMTPPort set to 65535"}},
    {"connect_timeout_zero_silent", "TimeoutSMTPConnect:0\n", none, {}},
    {"connect_timeout_in_ms",
     "TimeoutSMTPConnect:5\n",
     [](settings_record& s) { s.connect_timeout_ms = 5000; },
     {"TimeoutSMTPConnect set to 5 seconds"}},
    {"reply_timeout_crlf",
     "TimeoutSMTPReply:7\r\n",
     [](settings_record& s) { s.reply_timeout = 7; },
     {"TimeoutSMTPReply set to 7 seconds"}},
    {"subdomains_upper_case",
     "BackAddrSubdomains:YES\n",
     [](settings_record& s) { s.subdomains = true; },
     {"BackAddrSubdomains YES"}},
    {"subdomains_three_letters_taken",
     "BackAddrSubdomains:yesss\n",
     [](settings_record& s) { s.subdomains = true; },
     {"BackAddrSubdomains yes"}},
    {"subdomains_no_ignored", "BackAddrSubdomains:no\n", none, {}},
    {"subdomains_not_switched_off",
     "BackAddrSubdomains:yes\nBackAddrSubdomains:NO\n",
     [](settings_record& s) { s.subdomains = true; },
     {"BackAddrSubdomains yes"}},
    {"tempfail",
     "BackErrorTempfail:Yes\n",
     [](settings_record& s) { s.tempfail_on_error = true; },
     {"BackErrorTempfail Yes"}},
    {"catch_all_check",
     "BackCatchAllCheck:yes\n",
     [](settings_record& s) { s.catch_all_check = true; },
     {"BackCatchAllCheck yes"}},
    {"max_connections",
     "BackSMTPMaxConnections:00016\n",
     [](settings_record& s) { s.backend_max_connections = 16; },
     {"BackSMTPMaxConnections set to 16"}},
    {"blank_after_colon", "BackValidAddrExp: 99\n", none, {}},
    {"keyword_case_matters", "backvalidaddrexp:99\n", none, {}},
    {"comment", "#BackValidAddrExp:99\n", none, {}},
    {"backlist_short", "BackList:/db/x\n", none, {}},
    {"backlist_overrides_command_line",
     "BackList:/db/kvl\n",
     [](settings_record& s) { s.cache_path = "/db/kvl"; },
     {"BackList /db/kvl"}},
    {"backlist_keeps_blanks_and_cr",
     "BackList: /var/db/kv list\r\n",
     [](settings_record& s) { s.cache_path = " /var/db/kv list\r"; },
     {"BackList  /var/db/kv list\r"}},
    {"long_line_read_in_pieces",
     long_comment + "BackValidAddrExp:77\n",
     [](settings_record& s) { s.valid_ttl = 77; },
     {"BackValidAddrExp set to 77 seconds"}},
    {"backlist_width_and_pieces",
     "BackList:" + long_path + std::string(759, 'q') + "TimeoutSMTPReply:9\n",
     [](settings_record& s) {
         s.cache_path = long_path;
         s.reply_timeout = 9;
     },
     {"BackList " + long_path, "TimeoutSMTPReply set to 9 seconds"}},
    {"backoff_logged_only", "BackSMTPBackoff:30\n", none, {"BackSMTPBackoff set to 30 seconds"}},
    {"cache_bound",
     "BackCacheMaxEntries:0000050\r\n",
     [](settings_record& s) { s.cache_max_entries = 50; },
     {"BackCacheMaxEntries set to 50"}},
    {"cache_bound_zero_is_none",
     "BackCacheMaxEntries:0\n",
     [](settings_record& s) { s.cache_max_entries = 0; },
     {"BackCacheMaxEntries set to 0"}},
    {"save_interval",
     "BackListSaveInterval:1\n",
     [](settings_record& s) { s.save_interval = 1; },
     {"BackListSaveInterval set to 1 seconds"}},
    {"save_interval_zero_only_at_exit",
     "BackListSaveInterval:0\n",
     [](settings_record& s) { s.save_interval = 0; },
     {"BackListSaveInterval set to 0 seconds"}},
    {"control_socket_keeps_blanks",
     "ControlSocket:/run/kv/ctl sock\n",
     [](settings_record& s) { s.control_socket = "/run/kv/ctl sock"; },
     {"ControlSocket /run/kv/ctl sock"}},
    {"control_socket_short_line_skipped", "ControlSocket:/\n", none, {}},
    {"shared_server_host_and_port",
     "SharedCacheServer:redis.example.net:6380 \r\n",
     [](settings_record& s) {
         s.shared_cache_host = "redis.example.net";
         s.shared_cache_port = 6380;
     },
     {"SharedCacheServer redis.example.net:6380"}},
    {"shared_server_ipv6",
     "SharedCacheServer:[::1]:6379\n",
     [](settings_record& s) {
         s.shared_cache_host = "::1";
         s.shared_cache_port = 6379;
     },
     {"SharedCacheServer [::1]:6379"}},
    {"shared_server_unix_socket",
     "SharedCacheServer:unix:/run/redis/redis.sock\n",
     [](settings_record& s) {
         s.shared_cache_host = "/run/redis/redis.sock";
         s.shared_cache_port = 0;
     },
     {"SharedCacheServer unix:/run/redis/redis.sock"}},
    {"shared_prefix_timeout_password",
     "SharedCachePrefix:mx-fleet:\nSharedCacheTimeout:00250\nSharedCachePassword:s3cret word\n",
     [](settings_record& s) {
         s.shared_cache_prefix = "mx-fleet:";
         s.shared_cache_timeout_ms = 250;
         s.shared_cache_password = "s3cret word";
     },
     // The password itself is never logged.
     {"SharedCachePrefix mx-fleet:", "SharedCacheTimeout set to 250 ms",
      "SharedCachePassword set"}},
    {"shared_sentinels_in_order",
     "SharedCacheSentinel:10.0.0.9:26379\nSharedCacheSentinel:[::1]:26380 \r\n"
     "SharedCacheMasterName:mx-fleet\nSharedCacheSentinelPassword:s3cret\n",
     [](settings_record& s) {
         s.shared_cache_sentinels = {{"10.0.0.9", 26379}, {"::1", 26380}};
         s.shared_cache_master_name = "mx-fleet";
         s.shared_cache_sentinel_password = "s3cret";
     },
     {"SharedCacheSentinel 10.0.0.9:26379", "SharedCacheSentinel [::1]:26380",
      "SharedCacheMasterName mx-fleet", "SharedCacheSentinelPassword set"}},
};

class settings_test : public config_test, public ::testing::WithParamInterface<settings_case> {};

TEST_P(settings_test, sets_and_logs) {
    const settings_case& c = GetParam();
    settings.cache_path = "/from/command/line";
    settings_record expected = settings;
    c.change(expected);
    testing::log_capture log;
    EXPECT_EQ(parse_config_text((c.text)), 0);
    EXPECT_EQ(fields(settings), fields(expected));
    EXPECT_EQ(debug_lines(log), c.log);
    EXPECT_TRUE(route_list_empty());
}

INSTANTIATE_TEST_SUITE_P(edge_cases, settings_test, ::testing::ValuesIn(settings_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(config_test, missing_file) {
    settings.cache_path = "/from/command/line";
    const settings_record before = settings;
    EXPECT_EQ(parse_config("/nonexistent/kelvantor.conf"), 1);
    EXPECT_EQ(fields(settings), fields(before));
}

TEST_F(config_test, routes_take_server_and_port_in_force) {
    testing::log_capture log;
    ASSERT_EQ(parse_config_text(("BackSMTPServer:127.0.0.1\n"
                                 "BackAddrDomain:first.example\n"
                                 "BackSMTPPort:2525\n"
                                 "BackAddrDomain:second.example\r\n"
                                 "PreferIPVersion:6\n"
                                 "BackSMTPServer:0:0:0:0:0:0:0:1\n"
                                 "BackAddrDomain:abc_def.example\n"
                                 "BackAddrDomain:abcd_ef.example\n"
                                 "PreferIPVersion:4\n"
                                 "BackSMTPServer:localhost\n"
                                 "BackAddrDomain:third.example\n")),
              0);
    struct expectation {
        const char* domain;
        std::uint16_t port;
        int family;
    };
    for (const auto& [domain, port, family] :
         {expectation{"first.example", 25, AF_INET}, expectation{"second.example", 2525, AF_INET},
          expectation{"abcd", 2525, AF_INET6}, expectation{"third.example", 2525, AF_INET}}) {
        const route_target target = route_lookup(domain);
        EXPECT_EQ(target.port, port) << domain;
        ASSERT_EQ(target.server_addr.ss_family, family) << domain;
        if (family == AF_INET) {
            EXPECT_EQ(reinterpret_cast<const sockaddr_in&>(target.server_addr).sin_addr.s_addr,
                      inet_addr("127.0.0.1"));
        } else {
            const auto& address = reinterpret_cast<const sockaddr_in6&>(target.server_addr);
            EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&address.sin6_addr));
        }
    }
    EXPECT_EQ(route_lookup("abc").server_addr.ss_family, AF_UNSPEC);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "BackAddrDomain second.example")) << log.dump();
    EXPECT_TRUE(log.contains(LOG_DEBUG, "BackSMTPServer 0:0:0:0:0:0:0:1")) << log.dump();
    EXPECT_EQ(log.count("BackAddrDomain abc"), 0);
}

TEST_F(config_test, fallbacks_join_the_current_server_until_the_next) {
    ASSERT_EQ(parse_config_text(("BackSMTPServer:127.0.0.1\n"
                                 "BackSMTPPort:2525\n"
                                 "BackSMTPFallback:127.0.0.2\n"
                                 "BackSMTPPort:2526\n"
                                 "BackSMTPFallback:127.0.0.3\n"
                                 "BackAddrDomain:both.example\n"
                                 "BackSMTPServer:127.0.0.4\n"
                                 "BackAddrDomain:none.example\n")),
              0);
    const route_target both = route_lookup("both.example");
    EXPECT_EQ(both.port, 2526);
    ASSERT_EQ(both.fallbacks.count, 2U);
    const auto address = [](const fallback_server& s) {
        return reinterpret_cast<const sockaddr_in&>(s.server_addr).sin_addr.s_addr;
    };
    EXPECT_EQ(both.fallbacks.servers[0].port, 2525);
    EXPECT_EQ(address(both.fallbacks.servers[0]), inet_addr("127.0.0.2"));
    EXPECT_EQ(both.fallbacks.servers[1].port, 2526);
    EXPECT_EQ(address(both.fallbacks.servers[1]), inet_addr("127.0.0.3"));
    EXPECT_EQ(route_lookup("none.example").fallbacks.count, 0U);
    EXPECT_EQ(routes_installed()->server_count(), 4U);
}

struct exempt_case {
    const char* name;
    const char* line;
    std::vector<std::string> log;
    const char* inside;  // nullptr: no client to check
    const char* outside;
};

const exempt_case exempt_cases[] = {
    {"network",
     "BackSkipVerify:192.168.1.0/24\n",
     {"BackSkipVerify set 192.168.1.0/24"},
     "192.168.1.200",
     "192.168.2.1"},
    {"host", "BackSkipVerify:10.0.0.1\n", {"BackSkipVerify set 10.0.0.1"}, "10.0.0.1", "10.0.0.2"},
    {"prefix_not_a_number",
     "BackSkipVerify:10.0.0.1/abc\n",
     {"BackSkipVerify set 10.0.0.1"},
     "10.0.0.1",
     "10.0.0.2"},
    {"leading_zeros_decimal",
     "BackSkipVerify:010.000.000.001/8\n",
     {"BackSkipVerify set 10.0.0.1/8"},
     "10.9.9.9",
     "8.0.0.1"},
    {"blanks_before_numbers",
     "BackSkipVerify: 172.16.0.0/ 12\n",
     {"BackSkipVerify set 172.16.0.0/12"},
     "172.31.255.255",
     "172.32.0.0"},
    {"blank_before_slash",
     "BackSkipVerify:172.16.0.0 /12\n",
     {"BackSkipVerify set 172.16.0.0"},
     "172.16.0.0",
     "172.16.0.1"},
    {"everything",
     "BackSkipVerify:0.0.0.0/0\n",
     {"BackSkipVerify set 0.0.0.0/0"},
     "203.0.113.1",
     nullptr},
    {"three_numbers", "BackSkipVerify:10.0.0/8\n", {}, nullptr, "10.0.0.8"},
};

class exempt_network_test : public config_test,
                            public ::testing::WithParamInterface<exempt_case> {};

TEST_P(exempt_network_test, adds_and_logs) {
    const exempt_case& c = GetParam();
    testing::log_capture log;
    EXPECT_EQ(parse_config_text((c.line)), 0);
    EXPECT_EQ(debug_lines(log), c.log);
    if (c.inside != nullptr) {
        EXPECT_TRUE(skip_net_match(inet_addr(c.inside)));
    }
    if (c.outside != nullptr) {
        EXPECT_FALSE(skip_net_match(inet_addr(c.outside)));
    }
}

INSTANTIATE_TEST_SUITE_P(edge_cases, exempt_network_test, ::testing::ValuesIn(exempt_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(config_test, skip_daemon_names) {
    testing::log_capture log;
    EXPECT_EQ(parse_config_text(("BackSkipDaemon:mx-in.local\nBackSkipDaemon:mx_out\n")), 0);
    EXPECT_EQ(debug_lines(log),
              (std::vector<std::string>{"BackSkipDaemon mx-in.local", "BackSkipDaemon mx"}));
    EXPECT_TRUE(skip_daemon_match("MX-IN.LOCAL"));
    EXPECT_TRUE(skip_daemon_match("mx"));
    EXPECT_FALSE(skip_daemon_match("mx_out"));
}

TEST_F(config_test, MetricsListenTakesNumericIpv4OrBracketedIpv6AndPort) {
    EXPECT_FALSE(settings.metrics_listen.has_value());
    testing::log_capture log;
    EXPECT_EQ(parse_config_text("MetricsListen:127.0.0.1:9106 \r\n"), 0);
    ASSERT_TRUE(settings.metrics_listen.has_value());
    const auto& in = reinterpret_cast<const sockaddr_in&>(*settings.metrics_listen);
    EXPECT_EQ(in.sin_family, AF_INET);
    EXPECT_EQ(ntohs(in.sin_port), 9106);
    EXPECT_EQ(in.sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    EXPECT_EQ(parse_config_text("MetricsListen:[::1]:65535\n"), 0);
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(*settings.metrics_listen);
    EXPECT_EQ(in6.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(in6.sin6_port), 65535);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr));
    EXPECT_EQ(debug_lines(log), (std::vector<std::string>{"MetricsListen 127.0.0.1:9106",
                                                          "MetricsListen [::1]:65535"}));
}

struct fatal_case {
    const char* name;
    const char* text;
    const char* message;  // regular expression over "<priority> <text>"
};

const fatal_case fatal_cases[] = {
    {"domain_before_server", "BackAddrDomain:example.com\nBackSMTPServer:127.0.0.1\n",
     "3 BackSMTPServer should be defined before BackAddrDomain"},
    {"server_with_blank", "BackSMTPServer: 127.0.0.1\nBackAddrDomain:example.com\n",
     "3 BackSMTPServer should be defined before BackAddrDomain"},
    {"server_too_short", "BackSMTPServer:::1\nBackAddrDomain:example.com\n",
     "3 BackSMTPServer should be defined before BackAddrDomain"},
    {"ipv6_only_for_ipv4_address", "PreferIPVersion:6\nBackSMTPServer:127.0.0.1\n",
     "3 BackSMTPServer incorrect 127\\.0\\.0\\.1 ."},
    {"port_above_65535", "BackSMTPPort:70000\n", "3 BackSMTPPort 70000 out of range"},
    {"prefix_above_32", "BackSkipVerify:10.0.0.0/33\n",
     "3 BackSkipVerify incorrect 10\\.0\\.0\\.0/33\n"},
    {"octet_above_255", "BackSkipVerify:10.0.0.256 host\r\n",
     "3 BackSkipVerify incorrect 10\\.0\\.0\\.256 host\n"},
    {"no_wrap_around", "BackSkipVerify:4294967306.0.0.1\n",
     "3 BackSkipVerify incorrect 4294967306\\.0\\.0\\.1\n"},
    {"metrics_port_zero", "MetricsListen:127.0.0.1:0\n",
     "3 MetricsListen incorrect 127\\.0\\.0\\.1:0\n"},
    {"metrics_ipv6_unbracketed", "MetricsListen:::1:9106\n",
     "3 MetricsListen incorrect ::1:9106\n"},
    {"metrics_host_name", "MetricsListen:localhost:9106\n",
     "3 MetricsListen incorrect localhost:9106\n"},
    {"metrics_bad_ipv6", "MetricsListen:[::g]:9106\n",
     "3 MetricsListen incorrect \\[::g\\]:9106\n"},
    {"cache_bound_not_a_number", "BackCacheMaxEntries:lots\n",
     "3 BackCacheMaxEntries invalid value \"lots\""},
    {"cache_bound_blank", "BackCacheMaxEntries: 100\n",
     "3 BackCacheMaxEntries invalid value \" 100\""},
    {"cache_bound_eleven_digits", "BackCacheMaxEntries:12345678901\n",
     "3 BackCacheMaxEntries invalid value \"12345678901\""},
    {"save_interval_negative", "BackListSaveInterval:-5\n",
     "3 BackListSaveInterval invalid value \"-5\""},
    {"save_interval_eight_digits", "BackListSaveInterval:12345678\n",
     "3 BackListSaveInterval invalid value"},
    {"control_socket_relative", "ControlSocket:run/ctl.sock\n",
     "3 ControlSocket invalid value \"run/ctl\\.sock\""},
    {"control_socket_too_long",
     "ControlSocket:/run/kelvantor/"
     "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx/"
     "control.sock\n",
     "3 ControlSocket invalid value"},
    {"shared_server_without_port", "SharedCacheServer:redis.example.net\n",
     "3 SharedCacheServer invalid value \"redis\\.example\\.net\""},
    {"shared_server_port_zero", "SharedCacheServer:127.0.0.1:0\n",
     "3 SharedCacheServer invalid value \"127\\.0\\.0\\.1:0\""},
    {"shared_server_port_above_65535", "SharedCacheServer:127.0.0.1:65536\n",
     "3 SharedCacheServer invalid value"},
    {"shared_server_relative_socket", "SharedCacheServer:unix:redis.sock\n",
     "3 SharedCacheServer invalid value \"unix:redis\\.sock\""},
    {"shared_server_blank_in_name", "SharedCacheServer:redis host:6379\n",
     "3 SharedCacheServer invalid value"},
    {"shared_timeout_zero", "SharedCacheTimeout:0\n", "3 SharedCacheTimeout invalid value \"0\""},
    {"shared_timeout_above_a_minute", "SharedCacheTimeout:60001\n",
     "3 SharedCacheTimeout invalid value \"60001\""},
    {"shared_timeout_not_a_number", "SharedCacheTimeout:50ms\n",
     "3 SharedCacheTimeout invalid value \"50ms\""},
    {"shared_password_empty", "SharedCachePassword:\n", "3 SharedCachePassword invalid value"},
    {"fallback_before_server", "BackSMTPFallback:127.0.0.1\n",
     "3 BackSMTPServer should be defined before BackSMTPFallback"},
    {"fifth_server",
     "BackSMTPServer:127.0.0.1\nBackSMTPFallback:127.0.0.2\n"
     "BackSMTPFallback:127.0.0.3\nBackSMTPFallback:127.0.0.4\nBackSMTPFallback:127.0.0.5\n",
     "3 BackSMTPFallback: at most 3 per BackSMTPServer"},
    {"shared_prefix_blank", "SharedCachePrefix:kv fleet:\n",
     "3 SharedCachePrefix invalid value \"kv fleet:\""},
    {"shared_server_then_sentinel",
     "SharedCacheServer:127.0.0.1:6379\nSharedCacheSentinel:127.0.0.1:26379\n",
     "3 SharedCacheServer and SharedCacheSentinel exclude each other"},
    {"shared_sentinel_then_server",
     "SharedCacheSentinel:127.0.0.1:26379\nSharedCacheServer:127.0.0.1:6379\n",
     "3 SharedCacheServer and SharedCacheSentinel exclude each other"},
    {"shared_sentinel_without_master_name", "SharedCacheSentinel:127.0.0.1:26379\n",
     "3 SharedCacheSentinel needs SharedCacheMasterName"},
    {"shared_sentinel_without_port", "SharedCacheSentinel:sentinel.example.net\n",
     "3 SharedCacheSentinel invalid value"},
    {"shared_ninth_sentinel",
     "SharedCacheSentinel:10.0.0.1:1\nSharedCacheSentinel:10.0.0.2:1\n"
     "SharedCacheSentinel:10.0.0.3:1\nSharedCacheSentinel:10.0.0.4:1\n"
     "SharedCacheSentinel:10.0.0.5:1\nSharedCacheSentinel:10.0.0.6:1\n"
     "SharedCacheSentinel:10.0.0.7:1\nSharedCacheSentinel:10.0.0.8:1\n"
     "SharedCacheSentinel:10.0.0.9:1\n",
     "3 SharedCacheSentinel: at most 8 lines"},
    {"shared_master_name_blank", "SharedCacheMasterName:mx fleet\n",
     "3 SharedCacheMasterName invalid value"},
};

class fatal_test : public config_test, public ::testing::WithParamInterface<fatal_case> {};

TEST_P(fatal_test, exits_71) {
    const fatal_case& c = GetParam();
    EXPECT_EXIT(
        {
            set_log_sink(stderr_sink);
            parse_config_text(c.text);
        },
        ::testing::ExitedWithCode(exit_status::configuration), c.message);
}

struct handled_exit {
    int status;
};

// An exit handler (the fuzzer's throws) is given the status in place of the
// exit, and no line after the fatal one is read.
TEST_P(fatal_test, handler_takes_the_exit) {
    set_log_sink(silent_sink);
    set_config_exit_handler([](int status) { throw handled_exit{status}; });
    try {
        parse_config_text(std::string(GetParam().text) + "BackValidAddrExp:0000777\n");
        ADD_FAILURE() << "read to the end";
    } catch (const handled_exit& exit) {
        EXPECT_EQ(exit.status, exit_status::configuration);
    }
    set_config_exit_handler(nullptr);
    set_log_sink(nullptr);
    EXPECT_NE(settings.valid_ttl, 777);
}

INSTANTIATE_TEST_SUITE_P(edge_cases, fatal_test, ::testing::ValuesIn(fatal_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct memory_case {
    const char* name;
    const char* first_line;
    int result;  // 1: reading stopped at the first line
};

const memory_case memory_cases[] = {
    {"route", "BackSMTPServer:127.0.0.1\nBackAddrDomain:example.com\n", 1},
    {"network", "BackSkipVerify:10.0.0.0/8\n", 1},
    {"daemon", "BackSkipDaemon:mx-in.local\n", 1},
    {"backlist_becomes_none", "BackList:/var/db/kelvantor-cache.list\n", 0},
};

class memory_test : public config_test, public ::testing::WithParamInterface<memory_case> {};

// The reader turns lack of memory into its failure result; what it read so
// far is never installed then.
TEST_P(memory_test, lack_of_memory) {
    const memory_case& c = GetParam();
    std::string text = std::string(c.first_line) + "BackValidAddrExp:99\n";
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        fmemopen(text.data(), text.size(), "r"), std::fclose);
    ASSERT_NE(file, nullptr);
    configuration config;
    config.settings.cache_path = "/cmd/line";
    reading_report report;
    set_log_sink(silent_sink);
    int result = -1;
    {
        testing::failing_allocations failing;
        result = read_config(file.get(), "-", config, reading_mode::start_up, report);
    }
    set_log_sink(nullptr);
    EXPECT_EQ(result, c.result);
    if (c.result == 0) {
        EXPECT_EQ(config.settings.valid_ttl, 99);
        EXPECT_FALSE(config.settings.cache_path.has_value());
    }
    EXPECT_TRUE(config.routes.empty());
    EXPECT_TRUE(config.exemptions.nets.empty());
    EXPECT_TRUE(config.exemptions.daemons.empty());

    // Through parse_config, a reading that ran out of memory installs nothing.
    if (c.result == 1) {
        const settings_record before = settings;
        std::rewind(file.get());
        {
            testing::failing_allocations failing;
            EXPECT_EQ(parse_config(file.get()), 1);
        }
        EXPECT_EQ(fields(settings), fields(before));
        EXPECT_TRUE(route_list_empty());
    }
}

INSTANTIATE_TEST_SUITE_P(edge_cases, memory_test, ::testing::ValuesIn(memory_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvantor
