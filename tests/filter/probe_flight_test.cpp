// Misses for one address at once on many threads: one probe goes to the
// backend and the others take its verdict; distinct addresses and probes
// that end without a verdict leave every recipient to its own probe.
#include <algorithm>
#include <functional>
#include <latch>
#include <thread>

#include "filter_fixture.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using namespace std::chrono_literals;

constexpr int transactions = 200;

class probe_flight_test : public filter_test {
protected:
    // A backend that answers every RCPT TO with reply after a pause long
    // enough for the other transactions to arrive while the first is probing.
    void start_backend(const std::string& reply) {
        backend_script script;
        script.rcpt_reply = [reply](const std::string&) { return reply; };
        script.rcpt_delay = 300ms;
        script.record_lines = false;
        backend = std::make_unique<test_backend>(std::move(script));
        ASSERT_TRUE(route_add("example.test", backend->port(), backend->address()));
        settings.reply_timeout = 10;  // a wait ends with the probe, not by its bound
    }

    // One transaction per thread, all released together, with address(n) as
    // its recipient; the number of answers that were not expected.
    int run(const std::function<std::string(int)>& address, sfsistat expected) {
        std::latch start_together(transactions);
        std::vector<int> wrong(transactions, 0);
        std::vector<std::thread> workers;
        workers.reserve(transactions);
        for (int n = 0; n < transactions; ++n) {
            workers.emplace_back([&, n] {
                fake_milter_ctx conn;
                sockaddr_storage client = ipv4_address("127.0.0.2");
                cb_connect(&conn, nullptr, as_sockaddr(client));
                cb_envfrom(&conn, nullptr);
                conn.macros["{rcpt_addr}"] = address(n);
                start_together.arrive_and_wait();
                const sfsistat answer = cb_envrcpt(&conn, nullptr);
                wrong[n] = answer != expected ||
                           (expected == SMFIS_REJECT && (!conn.reply || conn.reply->code != "550"));
                cb_eoh(&conn);
                cb_close(&conn);
            });
        }
        for (auto& worker : workers) worker.join();
        return static_cast<int>(std::count(wrong.begin(), wrong.end(), 1));
    }

    std::unique_ptr<test_backend> backend;
};

// The address in a case of its own for each transaction.
std::string same_address(int n) {
    return n % 2 == 0 ? "New@Example.test" : "new@example.TEST";
}

TEST_F(probe_flight_test, SameNewAddressIsProbedOnce) {
    for (const auto& [reply, expected] :
         {std::pair{"250 2.1.5 Ok\r\n", SMFIS_CONTINUE}, {"550 5.1.1 unknown\r\n", SMFIS_REJECT}}) {
        SCOPED_TRACE(reply);
        ASSERT_EQ(verdict_cache_init(settings.valid_ttl, settings.invalid_ttl), 0);
        start_backend(reply);
        EXPECT_EQ(run(same_address, expected), 0);
        EXPECT_EQ(backend->rcpts(), 1U);
    }
}

TEST_F(probe_flight_test, DistinctAddressesAreEachProbed) {
    start_backend("250 2.1.5 Ok\r\n");
    EXPECT_EQ(
        run([](int n) { return "user" + std::to_string(n) + "@example.test"; }, SMFIS_CONTINUE), 0);
    EXPECT_EQ(backend->rcpts(), static_cast<std::uint64_t>(transactions));
}

TEST_F(probe_flight_test, ProbeWithoutVerdictLeavesEachToItsOwn) {
    // 451 passes unjudged: whoever waited for it probes itself and passes too.
    start_backend("451 4.3.0 try later\r\n");
    EXPECT_EQ(run(same_address, SMFIS_CONTINUE), 0);
    EXPECT_EQ(backend->rcpts(), static_cast<std::uint64_t>(transactions));
    EXPECT_FALSE(verdict_lookup("new@example.test").has_value());
}

TEST_F(probe_flight_test, WaitEndsAtTheProbesBound) {
    // The bound covers connect, banner and RCPT TO (2.1 s here), not a slow HELO.
    backend_script script;
    script.helo_delay = 2500ms;
    script.record_lines = false;
    backend = std::make_unique<test_backend>(std::move(script));
    ASSERT_TRUE(route_add("example.test", backend->port(), backend->address()));
    settings.connect_timeout_ms = 100;
    settings.reply_timeout = 1;

    auto& first = connect_from();
    auto& second = connect_from();
    sfsistat first_answer = SMFIS_TEMPFAIL;
    std::thread prober([&] { first_answer = rcpt(first, "slow@example.test"); });
    ASSERT_TRUE(backend->wait_for_connections(1, 5s));
    // Waits out the bound, then probes itself instead of taking the verdict at 2.5 s.
    EXPECT_EQ(rcpt(second, "slow@example.test"), SMFIS_CONTINUE);
    prober.join();
    EXPECT_EQ(first_answer, SMFIS_CONTINUE);
    EXPECT_EQ(backend->rcpts(), 2U);
}

}  // namespace
}  // namespace kelvantor::testing
