// The counters through their two renderings: the exposition format's shape
// (HELP and TYPE before each family's samples, one sample a line, quoted
// and escaped label values), counters that move by what was counted, the
// histogram's cumulative buckets, the stats lines, and counting from
// several threads while a scrape runs.
#include "metrics/metrics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>

#include "cache/verdict_cache.h"

namespace kelvantor {
namespace {

using namespace std::chrono_literals;

// Sample lines by "name{labels}" (or "name"), value as text.
std::map<std::string, std::string> samples_of(const std::string& text) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto blank = line.rfind(' ');
        samples[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return samples;
}

backend_server server_at(int family, const char* address, std::uint16_t port) {
    backend_server server{{}, port};
    server.address.ss_family = static_cast<sa_family_t>(family);
    void* bytes =
        family == AF_INET6
            ? static_cast<void*>(&reinterpret_cast<sockaddr_in6&>(server.address).sin6_addr)
            : static_cast<void*>(&reinterpret_cast<sockaddr_in&>(server.address).sin_addr);
    inet_pton(family, address, bytes);
    return server;
}

server_health& server_a() {
    return server_health_of(server_at(AF_INET, "127.0.0.1", 2525));
}
server_health& server_b() {
    return server_health_of(server_at(AF_INET6, "::1", 25));
}

std::uint64_t sample(const std::string& text, const std::string& key) {
    const auto samples = samples_of(text);
    const auto found = samples.find(key);
    if (found == samples.end()) {
        ADD_FAILURE() << "no sample " << key << " in\n" << text;
        return UINT64_MAX;
    }
    return std::stoull(found->second);
}

class metrics_test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(verdict_cache_init(86400, 3000), 0);
        metrics_reset();
    }
};

TEST_F(metrics_test, exposition_lines_are_well_formed_and_families_declared_first) {
    count_probe(server_a(), probe_reply::accepted, 2ms);
    const std::string text = metrics_text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');

    const std::regex help(R"(# HELP (kelvantor_[a-z_]+) [^\n]+)");
    const std::regex type(R"(# TYPE (kelvantor_[a-z_]+) (counter|gauge|histogram))");
    const std::regex sample_line(
        R"((kelvantor_[a-z_]+)(\{[a-z_]+="([^"\\\n]|\\[\\"n])*"(,[a-z_]+="([^"\\\n]|\\[\\"n])*")*\})? ([0-9]+(\.[0-9]+)?(e[-+][0-9]+)?))");
    std::istringstream lines(text);
    std::string line, helped, family, family_type;
    std::vector<std::string> families;
    int samples = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            helped = m[1];
        } else if (std::regex_match(line, m, type)) {
            EXPECT_EQ(m[1], helped) << "TYPE without HELP just before: " << line;
            family = m[1];
            family_type = m[2];
            families.push_back(family);
        } else if (std::regex_match(line, m, sample_line)) {
            ++samples;
            const std::string name = m[1];
            if (family_type == "histogram") {
                EXPECT_THAT(
                    name, ::testing::AnyOf(family + "_bucket", family + "_sum", family + "_count"));
            } else {
                EXPECT_EQ(name, family) << "sample outside its family: " << line;
            }
        } else {
            ADD_FAILURE() << "malformed line: \"" << line << "\"";
        }
    }
    EXPECT_GT(samples, 20);
    // Each family once: a repeated family is a format error for scrapers.
    std::vector<std::string> sorted = families;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
    EXPECT_THAT(families, ::testing::IsSupersetOf(
                              {"kelvantor_recipients_total", "kelvantor_connections_total",
                               "kelvantor_cache_lookups_total", "kelvantor_backend_probes_total",
                               "kelvantor_backend_probe_seconds", "kelvantor_cache_entries",
                               "kelvantor_cache_evictions_total", "kelvantor_cache_saves_total",
                               "kelvantor_cache_last_save_timestamp_seconds"}));
}

TEST_F(metrics_test, label_values_are_escaped) {
    EXPECT_EQ(escape_label_value("plain"), "plain");
    EXPECT_EQ(escape_label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    EXPECT_EQ(escape_label_value(""), "");
}

TEST_F(metrics_test, counters_move_by_what_was_counted_in_both_renderings) {
    for (int i = 0; i < 3; ++i) count_recipient(recipient_result::passed);
    count_recipient(recipient_result::rejected);
    count_recipient(recipient_result::unrouted);
    count_connection(connection_result::exempt);
    count_connection(connection_result::checked);
    count_connection(connection_result::checked);
    count_cache_lookup(cache_lookup_result::miss);
    count_cache_lookup(cache_lookup_result::hit_invalid);
    count_probe(server_a(), probe_reply::unknown, 1ms);
    count_probe(server_b(), probe_reply::no_reply, 3s);
    count_unreachable_probe(server_b());
    server_b().set_circuit_open(true);
    server_b().set_pooled(3);
    server_b().count_pool_wait(false);
    server_b().count_pool_wait(true);
    server_b().count_pool_wait(true);
    count_shared(shared_op::get, shared_result::miss);
    count_shared(shared_op::set, shared_result::ok, 256);
    count_shared(shared_op::set, shared_result::dropped);

    const std::string text = metrics_text();
    EXPECT_EQ(sample(text, R"(kelvantor_recipients_total{result="passed"})"), 3U);
    EXPECT_EQ(sample(text, R"(kelvantor_recipients_total{result="rejected"})"), 1U);
    EXPECT_EQ(sample(text, R"(kelvantor_recipients_total{result="deferred"})"), 0U);
    EXPECT_EQ(sample(text, R"(kelvantor_recipients_total{result="unrouted"})"), 1U);
    EXPECT_EQ(sample(text, R"(kelvantor_recipients_total{result="exempt"})"), 0U);
    EXPECT_EQ(sample(text, R"(kelvantor_connections_total{result="exempt"})"), 1U);
    EXPECT_EQ(sample(text, R"(kelvantor_connections_total{result="checked"})"), 2U);
    EXPECT_EQ(sample(text, R"(kelvantor_cache_lookups_total{result="hit_valid"})"), 0U);
    EXPECT_EQ(sample(text, R"(kelvantor_cache_lookups_total{result="hit_invalid"})"), 1U);
    EXPECT_EQ(sample(text, R"(kelvantor_cache_lookups_total{result="miss"})"), 1U);
    const std::string a = R"(kelvantor_backend_probes_total{server="127.0.0.1:2525",reply=)";
    const std::string b = R"(kelvantor_backend_probes_total{server="[::1]:25",reply=)";
    EXPECT_EQ(sample(text, a + R"("unknown"})"), 1U);
    EXPECT_EQ(sample(text, a + R"("no_reply"})"), 0U);
    EXPECT_EQ(sample(text, a + R"("unreachable"})"), 0U);
    EXPECT_EQ(sample(text, b + R"("no_reply"})"), 1U);
    EXPECT_EQ(sample(text, b + R"("unreachable"})"), 1U);
    EXPECT_EQ(sample(text, b + R"("accepted"})"), 0U);
    EXPECT_EQ(sample(text, R"(kelvantor_backend_circuit_open{server="127.0.0.1:2525"})"), 0U);
    EXPECT_EQ(sample(text, R"(kelvantor_backend_circuit_open{server="[::1]:25"})"), 1U);
    EXPECT_EQ(sample(text, R"(kelvantor_backend_pool_conversations{server="[::1]:25"})"), 3U);
    EXPECT_EQ(sample(text, R"(kelvantor_backend_pool_conversations{server="127.0.0.1:2525"})"), 0U);
    const std::string waits = R"(kelvantor_backend_pool_waits_total{server="[::1]:25",result=)";
    EXPECT_EQ(sample(text, waits + R"("served"})"), 1U);
    EXPECT_EQ(sample(text, waits + R"("timed_out"})"), 2U);
    // An unreachable backend gave no round trip.
    EXPECT_EQ(sample(text, "kelvantor_backend_probe_seconds_count"), 2U);
    EXPECT_EQ(sample(text, R"(kelvantor_shared_cache_operations_total{op="get",result="miss"})"),
              1U);
    EXPECT_EQ(sample(text, R"(kelvantor_shared_cache_operations_total{op="set",result="ok"})"),
              256U);
    EXPECT_EQ(sample(text, R"(kelvantor_shared_cache_operations_total{op="set",result="dropped"})"),
              1U);
    EXPECT_EQ(sample(text, R"(kelvantor_shared_cache_operations_total{op="get",result="ok"})"), 0U);
    // The store's state is shown only once one is configured.
    EXPECT_EQ(text.find("kelvantor_shared_cache_up"), std::string::npos);
    set_shared_cache_state(0);
    EXPECT_EQ(sample(metrics_text(), "kelvantor_shared_cache_up"), 0U);
    set_shared_cache_state(1);
    EXPECT_EQ(sample(stats_text(), "shared_cache_up"), 1U);
    set_shared_cache_state(-1);

    const std::string stats = stats_text();
    EXPECT_EQ(sample(stats, "recipients_passed"), 3U);
    EXPECT_EQ(sample(stats, "recipients_unrouted"), 1U);
    EXPECT_EQ(sample(stats, "connections_checked"), 2U);
    EXPECT_EQ(sample(stats, "cache_lookups_miss"), 1U);
    EXPECT_EQ(sample(stats, "backend_probes_unreachable"), 1U);  // summed over servers
    EXPECT_EQ(sample(stats, "backend_probes_no_reply"), 1U);
    EXPECT_EQ(sample(stats, "backend_probes_unreachable@[::1]:25"), 1U);
    EXPECT_EQ(sample(stats, "backend_probes_unknown@127.0.0.1:2525"), 1U);
    EXPECT_EQ(sample(stats, "backend_circuit_open@[::1]:25"), 1U);
    EXPECT_EQ(sample(stats, "backend_probe_seconds_count"), 2U);
    EXPECT_EQ(sample(stats, "shared_cache_set_ok"), 256U);
    EXPECT_EQ(sample(stats, "shared_cache_set_dropped"), 1U);
    // One "name value" line each, nothing else.
    EXPECT_TRUE(
        std::regex_match(stats, std::regex(R"(([a-z_]+(@[0-9a-f.:\[\]]+)? [0-9.e+-]+\n)+)")))
        << stats;

    metrics_reset();
    EXPECT_EQ(sample(metrics_text(), R"(kelvantor_recipients_total{result="passed"})"), 0U);
}

TEST_F(metrics_test, histogram_buckets_are_cumulative_and_bounds_inclusive) {
    count_probe(server_a(), probe_reply::accepted, 500us);
    count_probe(server_a(), probe_reply::accepted, 1ms);  // on the bound: in le="0.001"
    count_probe(server_a(), probe_reply::accepted, 1001us);
    count_probe(server_a(), probe_reply::other, 7s);
    count_probe(server_a(), probe_reply::no_reply, 20s);  // above every bound: +Inf only

    const std::string text = metrics_text();
    const auto bucket = [&](const char* le) {
        return sample(text,
                      std::string("kelvantor_backend_probe_seconds_bucket{le=\"") + le + "\"}");
    };
    EXPECT_EQ(bucket("0.001"), 2U);
    EXPECT_EQ(bucket("0.0025"), 3U);
    EXPECT_EQ(bucket("5"), 3U);
    EXPECT_EQ(bucket("10"), 4U);
    EXPECT_EQ(bucket("+Inf"), 5U);
    EXPECT_EQ(sample(text, "kelvantor_backend_probe_seconds_count"), 5U);
    EXPECT_DOUBLE_EQ(std::stod(samples_of(text).at("kelvantor_backend_probe_seconds_sum")),
                     27.0025010);

    std::uint64_t previous = 0;
    for (const std::string_view le : probe_bucket_bounds) {
        const std::uint64_t count = bucket(std::string(le).c_str());
        EXPECT_GE(count, previous) << "le=" << le;
        previous = count;
    }
    // In the order of their bounds, +Inf last.
    const auto first = text.find("le=\"0.001\"");
    const auto last = text.find("le=\"10\"");
    const auto inf = text.find("le=\"+Inf\"");
    EXPECT_LT(first, last);
    EXPECT_LT(last, inf);
}

TEST_F(metrics_test, concurrent_counting_loses_nothing_while_scraped) {
    constexpr int threads = 4;
    constexpr int each = 20000;
    std::atomic<bool> done{false};
    std::thread scraper([&] {
        while (!done.load()) EXPECT_FALSE(metrics_text().empty());
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < each; ++i) {
                count_recipient(recipient_result::passed);
                count_cache_lookup(cache_lookup_result::hit_valid);
                count_probe(server_a(), probe_reply::accepted, 1ms);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    done = true;
    scraper.join();
    const std::string text = metrics_text();
    constexpr std::uint64_t total = std::uint64_t{threads} * each;
    EXPECT_EQ(sample(text, R"(kelvantor_recipients_total{result="passed"})"), total);
    EXPECT_EQ(sample(text, R"(kelvantor_cache_lookups_total{result="hit_valid"})"), total);
    EXPECT_EQ(sample(text, R"(kelvantor_backend_probe_seconds_bucket{le="0.001"})"), total);
    EXPECT_EQ(sample(text, "kelvantor_backend_probe_seconds_count"), total);
    EXPECT_EQ(
        sample(text, R"(kelvantor_backend_probes_total{server="127.0.0.1:2525",reply="accepted"})"),
        total);
}

}  // namespace
}  // namespace kelvantor
