// kv-bench-milter: the milter load client.  C threads each drive one MTA-side
// milter connection (TCP or unix socket) through transactions of M recipients:
// connect macros and connect from a non-exempt client, MAIL, RCPT macros and
// RCPT x M, a header, then abort (or end of message); bounded by count and time.
// It reports recipients/s and p50/p99/max latency per recipient.
#include <chrono>
#include <cstdio>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "milter_client/milter_client.h"

namespace {

using namespace kelvantor::bench;
using kelvantor::testing::milter_client;
using kelvantor::testing::milter_reply;
using kelvantor::testing::milter_stage;
using kelvantor::testing::milter_verdict;

constexpr const char* usage =
    "usage: kv-bench-milter --socket SPEC [--concurrency C] [--rcpts M] [--transactions N]\n"
    "                       [--seconds S] [--tx-per-conn K] [--end] [--client-addr A]\n"
    "                       [--what LABEL] [address options]\n"
    "       kv-bench-milter --socket SPEC --wait-ready MS\n"
    "  SPEC: inet:PORT@HOST or unix:PATH.  Address options: --cached-share F --cached-set N\n"
    "  --cached-prefix P --unknown-share F --tempfail-share F --tag T --domain D.\n";

struct settings {
    std::string socket;
    unsigned concurrency;
    unsigned rcpts;
    std::uint64_t tx_per_conn;
    bool end_message;
    std::string client_addr;
    address_plan plan;
    std::string client_macro;  // the "_" macro: "host [address]"
};

outcome judge(const milter_reply& reply) {
    switch (reply.verdict) {
        case milter_verdict::proceed:
        case milter_verdict::accept:
        case milter_verdict::no_reply:
        case milter_verdict::stage_off:
            return outcome::accepted;
        case milter_verdict::reject:
            return outcome::rejected;
        case milter_verdict::tempfail:
            return outcome::deferred;
        case milter_verdict::failed:
            return outcome::failed;
        default:
            return outcome::other;
    }
}

class worker {
public:
    worker(const settings& s, unsigned index, milter_client client, worker_log& log)
        : s_(s), source_(s.plan, index), client_(std::move(client)), log_(log) {}

    // One transaction; false when the connection failed (the worker then stops).
    bool transaction() {
        if (!client_.is_open() && !client_.open(s_.socket)) return give_up("open");
        if (in_connection_ == 0 && !greet()) return false;

        if (!client_.macros('M', {{"{mail_addr}", "sender@client.bench.test"}})) {
            return give_up("mail macros");
        }
        if (client_.mail("<sender@client.bench.test>").verdict == milter_verdict::failed) {
            return give_up("mail");
        }
        for (unsigned i = 0; i < s_.rcpts; ++i) {
            const std::string& address = source_.next();
            bracketed_.clear();
            bracketed_.push_back('<');
            bracketed_.append(address);
            bracketed_.push_back('>');
            const auto sent = bench_clock::now();
            if (!client_.macros('R', {{"{rcpt_addr}", address},
                                      {"{rcpt_host}", s_.plan.domain},
                                      {"{rcpt_mailer}", "smtp"}})) {
                return give_up("rcpt macros");
            }
            const milter_reply& reply = client_.rcpt(bracketed_);
            const auto answered = bench_clock::now();
            if (reply.verdict == milter_verdict::failed) return give_up("rcpt");
            log_.record(judge(reply), answered - sent);
        }
        if (client_.header("Subject", "load").verdict == milter_verdict::failed) {
            return give_up("header");
        }
        if (s_.end_message) {
            if (client_.eoh().verdict == milter_verdict::failed ||
                client_.body("load\r\n").verdict == milter_verdict::failed ||
                client_.eom().verdict == milter_verdict::failed) {
                return give_up("end of message");
            }
        } else if (!client_.abort()) {
            return give_up("abort");
        }
        ++log_.transactions;
        if (++in_connection_ >= s_.tx_per_conn) {
            client_.quit();
            in_connection_ = 0;
        }
        return true;
    }

    void finish() {
        if (client_.is_open()) client_.quit();
    }

private:
    bool greet() {
        if (!client_.macros('C', {{"j", "mx.bench.test"},
                                  {"{daemon_name}", "bench-mta"},
                                  {"{daemon_addr}", "127.0.0.1"},
                                  {"v", "kv-bench-milter"},
                                  {"_", s_.client_macro}})) {
            return give_up("connect macros");
        }
        const milter_reply& reply = client_.connect("client.bench.test", '4', 25, s_.client_addr);
        if (reply.verdict != milter_verdict::proceed) {
            return give_up("connect answered " + std::string(verdict_name(reply.verdict)));
        }
        if (client_.stage_enabled(milter_stage::helo) &&
            client_.helo("client.bench.test").verdict == milter_verdict::failed) {
            return give_up("helo");
        }
        return true;
    }

    bool give_up(const std::string& what) {
        ++log_.counts[static_cast<int>(outcome::failed)];
        if (log_.first_error.empty()) log_.first_error = what + ": " + client_.error();
        client_.close();
        return false;
    }

    const settings& s_;
    address_source source_;
    milter_client client_;
    worker_log& log_;
    std::uint64_t in_connection_ = 0;
    std::string bracketed_;
};

// Polls until a filter on the socket negotiates; prints the time it took.
int wait_ready(const std::string& socket, std::uint64_t limit_ms) {
    const auto start = bench_clock::now();
    const auto deadline = start + std::chrono::milliseconds(limit_ms);
    kelvantor::testing::milter_client_options quick;
    quick.io_timeout = std::chrono::milliseconds(1000);
    while (bench_clock::now() < deadline) {
        milter_client probe;
        if (probe.open(socket, quick)) {
            probe.quit();
            std::printf("ready_ms=%.1f\n", micros(bench_clock::now() - start) / 1000);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::fprintf(stderr, "kv-bench-milter: %s not ready within %llu ms\n", socket.c_str(),
                 static_cast<unsigned long long>(limit_ms));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const options opts(argc, argv);
    std::vector<std::string> known = {"socket",  "concurrency", "rcpts", "transactions",
                                      "seconds", "tx-per-conn", "end",   "client-addr",
                                      "what",    "wait-ready"};
    const auto plan_names = plan_option_names();
    known.insert(known.end(), plan_names.begin(), plan_names.end());
    if (!opts.check(known) || opts.text("socket", "").empty()) {
        std::fputs(usage, stderr);
        return 64;
    }
    if (opts.flag("wait-ready"))
        return wait_ready(opts.text("socket", ""), opts.count("wait-ready", 10000));

    settings s{opts.text("socket", ""),
               static_cast<unsigned>(std::max<std::uint64_t>(1, opts.count("concurrency", 1))),
               static_cast<unsigned>(std::max<std::uint64_t>(1, opts.count("rcpts", 10))),
               std::max<std::uint64_t>(1, opts.count("tx-per-conn", 10)),
               opts.flag("end"),
               opts.text("client-addr", "127.0.0.2"),
               plan_from(opts),
               ""};
    s.client_macro = "client.bench.test [";
    s.client_macro.append(s.client_addr);
    s.client_macro.push_back(']');
    const std::string what = opts.text("what", "milter");
    run_gate gate(opts.count("transactions", 1000), opts.number("seconds", 10));

    // Connections are opened one after another before the clock starts, so
    // that a burst of C connects does not overflow the filter's listen queue.
    std::vector<milter_client> clients(s.concurrency);
    for (unsigned w = 0; w < s.concurrency; ++w) {
        if (!clients[w].open(s.socket)) {
            std::fprintf(stderr, "kv-bench-milter: cannot open %s: %s\n", s.socket.c_str(),
                         clients[w].error().c_str());
            return 1;
        }
    }

    std::vector<worker_log> logs(s.concurrency);
    std::vector<std::thread> threads;
    std::latch ready(s.concurrency + 1);
    for (unsigned w = 0; w < s.concurrency; ++w) {
        threads.emplace_back([&, w] {
            worker runner(s, w, std::move(clients[w]), logs[w]);
            logs[w].latency_ns.reserve(4096);
            ready.arrive_and_wait();
            while (gate.take()) {
                if (!runner.transaction()) break;
            }
            runner.finish();
        });
    }
    gate.start();
    ready.arrive_and_wait();
    for (auto& thread : threads) thread.join();
    const double seconds = gate.elapsed();
    return report(what.c_str(), logs, seconds, gate.timed_out());
}
