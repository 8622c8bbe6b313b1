// Many client connections verifying at once, each on its own thread with its
// own backend conversation, sharing the verdict cache and smtpwait: every
// answer must match the backend's, and cached answers must agree with it.
#include <thread>

#include "filter_fixture.h"
#include "support/test_backend.h"

namespace kelvantor::testing {
namespace {

using recipient_concurrent_test = filter_test;

TEST_F(recipient_concurrent_test, ParallelConnectionsAgreeWithBackend) {
    backend_script script;
    script.rcpt_reply = [](const std::string& address) {
        return address.rfind("unknown", 0) == 0 ? "550 5.1.1 unknown\r\n" : "250 2.1.5 Ok\r\n";
    };
    test_backend backend(std::move(script));
    ASSERT_TRUE(route_add("example.test", backend.port(), backend.address()));

    constexpr int threads = 8;
    constexpr int transactions = 20;
    constexpr int recipients = 10;
    std::vector<int> wrong(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &wrong] {
            for (int n = 0; n < transactions; ++n) {
                fake_milter_ctx conn;
                sockaddr_storage client = ipv4_address("127.0.0.2");
                cb_connect(&conn, nullptr, as_sockaddr(client));
                cb_envfrom(&conn, nullptr);
                for (int r = 0; r < recipients; ++r) {
                    // Addresses shared between threads, so that hits and probes mix.
                    const int id = (t * 7 + n * recipients + r) % 60;
                    const bool unknown = id % 3 == 0;
                    conn.macros["{rcpt_addr}"] =
                        (unknown ? "unknown" : "user") + std::to_string(id) + "@Example.test";
                    const sfsistat answer = cb_envrcpt(&conn, nullptr);
                    wrong[t] += answer != (unknown ? SMFIS_REJECT : SMFIS_CONTINUE);
                }
                cb_eoh(&conn);
                cb_close(&conn);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
    EXPECT_EQ(verdict_lookup("unknown0@example.TEST"), VERDICT_INVALID);
    EXPECT_EQ(verdict_lookup("user1@example.test"), VERDICT_VALID);
    EXPECT_TRUE(backend.wait_for_finished(backend.connections(), std::chrono::seconds(10)));
}

}  // namespace
}  // namespace kelvantor::testing
