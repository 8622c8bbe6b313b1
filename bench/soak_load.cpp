// kv-bench-soak: the soak's load and its checks.  C threads each drive one
// MTA-side milter connection through transactions (connect from a non-exempt
// client, MAIL, M recipients, then a header and abort, or a whole message),
// K transactions to a connection, for S seconds.  H of them are harvesters:
// every recipient a fresh unknown address, 20 to a transaction.  With a
// second domain, a quarter of the fresh addresses (and of the tempfail ones)
// belong to it (the soak routes it to a backend that never answers RSET or
// QUIT).  Every answer is judged
// against the test backend's rule for its recipient (soak_rules.h), and
// kelvantor's RSS, threads and descriptors are sampled once a second; the
// means of the first and last window are compared.  It prints a summary
// table and one "result ..." line, and exits 1 on any wrong answer, failed
// connection, or growth above the limit.
//   kv-bench-soak --write-cache FILE [--cached-valid N] [--cached-invalid N]
// writes the cache file of the preloaded ("cached") recipients instead.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "milter_client/milter_client.h"
#include "soak_rules.h"

namespace {

using namespace kelvantor::bench;
using kelvantor::testing::milter_client;
using kelvantor::testing::milter_verdict;
namespace sk = kelvantor::bench::soak;

constexpr const char* usage =
    "usage: kv-bench-soak --socket SPEC [--connections C] [--seconds S] [--rcpts M]\n"
    "                     [--tx-per-conn K] [--transactions N] [--pid PID] [--window W]\n"
    "                     [--max-growth PCT] [--on-error defer|pass] [--mix LIST]\n"
    "                     [--cached-valid N] [--cached-invalid N] [--domain D]\n"
    "                     [--client-addr A] [--samples FILE] [--lifetime T] [--loaded-at MS]\n"
    "                     [--warmup S] [--slack N] [--harvesters H] [--stall-domain D]\n"
    "       kv-bench-soak --write-cache FILE [--cached-valid N] [--cached-invalid N] [--domain D]\n"
    "  --pid: the filter's process, sampled once a second (VmRSS, Threads, fds).\n"
    "  --lifetime: the filter's verdict lifetime in seconds (0: longer than the run);\n"
    "  --loaded-at: when the filter was started with the cache file (ms since the epoch).\n"
    "  --warmup: seconds of load before the S measured ones (checked, not sampled).\n"
    "  --slack: threads and descriptors may grow by N besides --max-growth percent.\n"
    "  --harvesters: connections that send only fresh unknown recipients, 20 a transaction.\n"
    "  --stall-domain: the domain of a quarter of the fresh and tempfail addresses.\n"
    "  --mix: percent shares by kind, default cv=30,ci=10,fv=10,fu=10,av=10,au=10,tf=20\n"
    "  (cached valid/invalid, fresh valid/unknown, fresh valid/unknown again, tempfail).\n";

constexpr std::size_t example_limit = 10;
constexpr unsigned harvest_rcpts = 20;

struct settings {
    std::string socket;
    unsigned connections = 200;
    unsigned rcpts = 5;
    std::uint64_t tx_per_conn = 20;
    sk::on_error mode = sk::on_error::defer;
    std::array<double, sk::kind_count> shares{};  // cumulative, ending at 1
    std::uint64_t cached_valid = 2000;
    std::uint64_t cached_invalid = 2000;
    std::string domain = "soak.test";
    std::string stall_domain;  // "": none
    unsigned harvesters = 0;
    std::string client_addr = "127.0.0.2";
    std::string client_macro;
    // kelvantor's verdict lifetime less the margin of its whole-second clock
    // (0: verdicts outlive the run), and until when (ns since the start) the
    // preloaded verdicts must hold.
    std::int64_t lifetime_ns = 0;
    std::int64_t preloaded_until_ns = INT64_MAX;
};

struct example {
    std::string address;
    sk::kind k;
    sk::answer a;
    bool learnt;
    double at;
};

struct tally {
    std::uint64_t answers[sk::kind_count][sk::answer_count] = {};
    std::uint64_t learnt[sk::kind_count] = {};  // answers judged as to a learnt address
    std::uint64_t wrongs[sk::wrong_count] = {};
    std::uint64_t connection_failures = 0;
    std::uint64_t stall_answers[sk::answer_count] = {};  // recipients of the stall domain
    std::vector<example> examples;
};

using sk::address_pool;

struct shared_state {
    const settings& s;
    run_gate& gate;
    address_pool valid{std::size_t{1} << 20};
    address_pool unknown{std::size_t{1} << 20};
};

class worker {
public:
    worker(shared_state& shared, unsigned index, milter_client client, worker_log& log, tally& t)
        : sh_(shared),
          s_(shared.s),
          index_(index),
          client_(std::move(client)),
          log_(log),
          t_(t),
          state_(0x9e3779b97f4a7c15ULL * (index + 1)),
          harvester_(index < shared.s.harvesters) {}

    void run() {
        while (sh_.gate.take()) {
            if (!client_.is_open() && !reopen()) continue;
            if (in_connection_ == 0 && !greet()) continue;
            transaction();
        }
        if (client_.is_open()) client_.quit();
    }

private:
    std::uint64_t random() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    bool reopen() {
        in_connection_ = 0;
        if (client_.open(s_.socket)) return true;
        return failed("open");
    }

    bool failed(const char* what) {
        ++t_.connection_failures;
        if (log_.first_error.empty()) log_.first_error = std::string(what) + ": " + client_.error();
        client_.close();
        in_connection_ = 0;
        // A filter that refuses at once must not turn the loop into a spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return false;
    }

    bool greet() {
        if (!client_.macros('C', {{"j", "mx.soak.test"},
                                  {"{daemon_name}", "soak-mta"},
                                  {"{daemon_addr}", "127.0.0.1"},
                                  {"v", "kv-bench-soak"},
                                  {"_", s_.client_macro}}) ||
            client_.connect("client.soak.test", '4', 25, s_.client_addr).verdict !=
                milter_verdict::proceed) {
            return failed("connect");
        }
        if (client_.stage_enabled(kelvantor::testing::milter_stage::helo) &&
            client_.helo("client.soak.test").verdict == milter_verdict::failed) {
            return failed("helo");
        }
        return true;
    }

    // The next recipient: its kind, address, and its pool entry (if any).
    sk::kind pick(std::string& address, address_pool*& pool, std::uint64_t& id) {
        const double draw = static_cast<double>(random() >> 11) * 0x1.0p-53;
        auto k = harvester_ ? sk::kind::fresh_unknown
                            : static_cast<sk::kind>(
                                  std::upper_bound(s_.shares.begin(), s_.shares.end() - 1, draw) -
                                  s_.shares.begin());
        pool = nullptr;
        const bool valid_kind = k == sk::kind::fresh_valid || k == sk::kind::again_valid;
        if (valid_kind || k == sk::kind::fresh_unknown || k == sk::kind::again_unknown) {
            pool = valid_kind ? &sh_.valid : &sh_.unknown;
            const bool repeat = k == sk::kind::again_valid || k == sk::kind::again_unknown;
            // A repeat before anything was handed out, or a spent pool, turns
            // into the other one.
            if (repeat ? !pool->again(random(), id) : !pool->fresh(id)) {
                if (repeat ? !pool->fresh(id) : !pool->again(random(), id))
                    return pick(address, pool, id);
                k = valid_kind ? (repeat ? sk::kind::fresh_valid : sk::kind::again_valid)
                               : (repeat ? sk::kind::fresh_unknown : sk::kind::again_unknown);
            }
        }
        char local[64];
        // Which domain: a quarter of the pooled and tempfail ones the stall domain.
        std::uint64_t spread = pool != nullptr ? id : 1;
        switch (k) {
            case sk::kind::cached_valid:
                std::snprintf(local, sizeof local, "cv%" PRIu64, random() % s_.cached_valid);
                break;
            case sk::kind::cached_invalid:
                std::snprintf(local, sizeof local, "unknown-c%" PRIu64,
                              random() % s_.cached_invalid);
                break;
            case sk::kind::fresh_valid:
            case sk::kind::again_valid:
                std::snprintf(local, sizeof local, "fv%" PRIu64, id);
                break;
            case sk::kind::fresh_unknown:
            case sk::kind::again_unknown:
                std::snprintf(local, sizeof local, "unknown-f%" PRIu64, id);
                break;
            case sk::kind::tempfail:
                spread = sequence_;
                std::snprintf(local, sizeof local, "tempfail-%u-%" PRIu64, index_, sequence_++);
                break;
        }
        stalled_ = !s_.stall_domain.empty() && spread % 4 == 0;
        address.assign(local);
        address.push_back('@');
        address.append(stalled_ ? s_.stall_domain : s_.domain);
        return k;
    }

    void transaction() {
        if (!client_.macros('M', {{"{mail_addr}", "sender@client.soak.test"}}) ||
            client_.mail("<sender@client.soak.test>").verdict == milter_verdict::failed) {
            failed("mail");
            return;
        }
        const unsigned rcpts = harvester_ ? harvest_rcpts : s_.rcpts;
        for (unsigned i = 0; i < rcpts; ++i) {
            if (!recipient()) return;
        }
        // Every third transaction is a whole message, the others end at a header.
        const bool whole = (log_.transactions % 3) == 0;
        if (client_.header("Subject", "soak").verdict == milter_verdict::failed ||
            (whole && (client_.eoh().verdict == milter_verdict::failed ||
                       client_.body("soak\r\n").verdict == milter_verdict::failed ||
                       client_.eom().verdict == milter_verdict::failed)) ||
            (!whole && !client_.abort())) {
            failed("end of transaction");
            return;
        }
        ++log_.transactions;
        if (++in_connection_ >= s_.tx_per_conn) {
            client_.quit();
            in_connection_ = 0;
        }
    }

    bool recipient() {
        address_pool* pool = nullptr;
        std::uint64_t id = 0;
        const sk::kind k = pick(address_, pool, id);
        bracketed_.clear();
        bracketed_.push_back('<');
        bracketed_.append(address_);
        bracketed_.push_back('>');
        const auto sent = bench_clock::now();
        const std::int64_t sent_ns = sh_.gate.elapsed_ns(sent);
        const bool learnt = pool != nullptr
                                ? pool->learnt(id, sent_ns, s_.lifetime_ns)
                                : k != sk::kind::tempfail && sent_ns < s_.preloaded_until_ns;
        const bool macros_sent =
            client_.macros('R', {{"{rcpt_addr}", address_},
                                 {"{rcpt_host}", stalled_ ? s_.stall_domain : s_.domain},
                                 {"{rcpt_mailer}", "smtp"}});
        const sk::answer a =
            macros_sent ? sk::classify(client_.rcpt(bracketed_)) : sk::answer::lost;
        const auto answered = bench_clock::now();
        ++t_.answers[static_cast<int>(k)][static_cast<int>(a)];
        if (stalled_) ++t_.stall_answers[static_cast<int>(a)];
        if (learnt) ++t_.learnt[static_cast<int>(k)];
        const sk::wrong w = sk::judge(k, learnt, a, s_.mode);
        if (w != sk::wrong::none) {
            ++t_.wrongs[static_cast<int>(w)];
            if (t_.examples.size() < example_limit)
                t_.examples.push_back({address_, k, a, learnt, sh_.gate.elapsed()});
        }
        if (pool != nullptr && sk::teaches(k, a, s_.mode)) pool->learn(id, sent_ns);
        if (a == sk::answer::lost) return failed("rcpt");
        static constexpr outcome by_answer[] = {outcome::accepted, outcome::rejected,
                                                outcome::deferred, outcome::other, outcome::failed};
        log_.record(by_answer[static_cast<int>(a)], answered - sent);
        return true;
    }

    shared_state& sh_;
    const settings& s_;
    unsigned index_;
    milter_client client_;
    worker_log& log_;
    tally& t_;
    std::uint64_t state_;
    std::uint64_t sequence_ = 0;
    std::uint64_t in_connection_ = 0;
    bool harvester_;
    bool stalled_ = false;  // the recipient being sent is of the stall domain
    std::string address_;
    std::string bracketed_;
};

// "cv=30,ci=10,...": cumulative shares in kind order; false when malformed.
bool parse_mix(const std::string& text, std::array<double, sk::kind_count>& cumulative) {
    static constexpr const char* names[sk::kind_count] = {"cv", "ci", "fv", "fu", "av", "au", "tf"};
    std::array<double, sk::kind_count> share{};
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, end - at);
        const std::size_t eq = item.find('=');
        const auto found = std::find_if(std::begin(names), std::end(names), [&](const char* n) {
            return eq != std::string::npos && item.compare(0, eq, n) == 0 && eq == std::strlen(n);
        });
        if (found == std::end(names)) return false;
        share[static_cast<std::size_t>(found - std::begin(names))] =
            std::atof(item.c_str() + eq + 1);
        at = end + 1;
    }
    double total = 0;
    for (const double v : share) total += v < 0 ? 0 : v;
    if (total <= 0) return false;
    double sum = 0;
    for (std::size_t i = 0; i < sk::kind_count; ++i) {
        sum += share[i] < 0 ? 0 : share[i];
        cumulative[i] = sum / total;
    }
    cumulative.back() = 1;
    return true;
}

int write_cache(const std::string& path, const settings& s) {
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    for (std::uint64_t i = 0; i < s.cached_valid; ++i)
        std::fprintf(out, "0 cv%" PRIu64 "@%s\n", i, s.domain.c_str());
    for (std::uint64_t i = 0; i < s.cached_invalid; ++i)
        std::fprintf(out, "1 unknown-c%" PRIu64 "@%s\n", i, s.domain.c_str());
    return std::fclose(out) == 0 ? 0 : 1;
}

struct sampler {
    std::vector<sk::sample> samples;
    bool gone = false;
};

// One sample a second of the measured seconds, half a second into each (the
// workers are busy by then); times count from the end of the warm-up.
void sample_loop(int pid, double warmup, double seconds, const run_gate& gate,
                 const std::atomic<bool>& done, sampler& out, std::FILE* log) {
    const auto start =
        bench_clock::now() + std::chrono::milliseconds(static_cast<int>(warmup * 1000));
    for (unsigned i = 0; i < static_cast<unsigned>(seconds) && !done.load(); ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(500 + 1000 * i));
        if (done.load()) break;
        const auto s = sk::read_sample(pid, gate.elapsed() - warmup);
        if (!s) {
            out.gone = true;
            return;
        }
        out.samples.push_back(*s);
        if (log != nullptr) {
            std::fprintf(log, "%.2f rss_kb=%" PRIu64 " threads=%" PRIu64 " fds=%" PRIu64 "\n",
                         s->at, s->rss_kb, s->threads, s->fds);
            std::fflush(log);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const options opts(argc, argv);
    const std::vector<std::string> known = {
        "socket",       "connections",  "seconds",        "rcpts",      "tx-per-conn",
        "transactions", "pid",          "window",         "max-growth", "on-error",
        "mix",          "cached-valid", "cached-invalid", "domain",     "client-addr",
        "samples",      "write-cache",  "lifetime",       "loaded-at",  "warmup",
        "slack",        "harvesters",   "stall-domain"};
    settings s;
    s.cached_valid = std::max<std::uint64_t>(1, opts.count("cached-valid", s.cached_valid));
    s.cached_invalid = std::max<std::uint64_t>(1, opts.count("cached-invalid", s.cached_invalid));
    s.domain = opts.text("domain", s.domain);
    const std::string mode = opts.text("on-error", "defer");
    if (!opts.check(known) || (mode != "defer" && mode != "pass") ||
        !parse_mix(opts.text("mix", "cv=30,ci=10,fv=10,fu=10,av=10,au=10,tf=20"), s.shares) ||
        (opts.text("socket", "").empty() && opts.text("write-cache", "").empty())) {
        std::fputs(usage, stderr);
        return 64;
    }
    if (opts.flag("write-cache")) return write_cache(opts.text("write-cache", ""), s);

    s.socket = opts.text("socket", "");
    s.connections =
        static_cast<unsigned>(std::clamp<std::uint64_t>(opts.count("connections", 200), 1, 2000));
    s.rcpts = static_cast<unsigned>(std::clamp<std::uint64_t>(opts.count("rcpts", 5), 1, 100));
    s.tx_per_conn = std::max<std::uint64_t>(1, opts.count("tx-per-conn", s.tx_per_conn));
    s.mode = mode == "pass" ? sk::on_error::pass : sk::on_error::defer;
    s.client_addr = opts.text("client-addr", s.client_addr);
    s.stall_domain = opts.text("stall-domain", "");
    s.harvesters =
        static_cast<unsigned>(std::min<std::uint64_t>(opts.count("harvesters", 0), s.connections));
    s.client_macro = "client.soak.test [" + s.client_addr + "]";
    const double seconds = opts.number("seconds", 60);
    // Load before the measured seconds: answers are checked, nothing is sampled.
    const double warmup = std::max(0.0, opts.number("warmup", 0));
    const double window = opts.flag("window") ? opts.number("window", 20) : sk::window_for(seconds);
    const double max_growth = opts.number("max-growth", 5);
    // Threads and descriptors may also grow by this many without failing: at
    // few connections one libmilter worker more is several percent.
    const double slack = opts.number("slack", 0);
    const int pid = static_cast<int>(opts.count("pid", 0));
    run_gate gate(opts.count("transactions", 100'000'000), warmup + seconds);
    // Verdicts must hold for their lifetime less 1.5 s: kelvantor stamps them
    // with whole seconds, and one lasts while (now - stamp) <= lifetime.
    const double lifetime = opts.number("lifetime", 0);
    s.lifetime_ns = lifetime > 0 ? static_cast<std::int64_t>((lifetime - 1.5) * 1e9) : 0;
    if (lifetime > 0 && s.lifetime_ns <= 0) s.lifetime_ns = 1;      // too short to hold any
    const std::uint64_t loaded_at_ms = opts.count("loaded-at", 0);  // ms since the epoch
    shared_state shared{s, gate};

    // Connections are opened one after another before the clock starts, so
    // that both windows see all of them.
    std::vector<milter_client> clients(s.connections);
    for (unsigned w = 0; w < s.connections; ++w) {
        if (!clients[w].open(s.socket)) {
            std::fprintf(stderr, "kv-bench-soak: cannot open %s: %s\n", s.socket.c_str(),
                         clients[w].error().c_str());
            return 1;
        }
    }

    std::vector<worker_log> logs(s.connections);
    std::vector<tally> tallies(s.connections);
    std::vector<std::thread> threads;
    std::latch ready(s.connections + 1);
    for (unsigned w = 0; w < s.connections; ++w) {
        threads.emplace_back([&, w] {
            worker runner(shared, w, std::move(clients[w]), logs[w], tallies[w]);
            logs[w].latency_ns.reserve(1 << 16);
            ready.arrive_and_wait();
            runner.run();
        });
    }
    std::FILE* sample_log = nullptr;
    if (opts.flag("samples")) sample_log = std::fopen(opts.text("samples", "").c_str(), "w");
    std::atomic<bool> done{false};
    sampler sampled;
    gate.start();
    if (s.lifetime_ns > 0) {
        // The preloaded verdicts were stamped after loaded_at (or, without it, before now).
        const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const auto loaded = loaded_at_ms > 0 ? static_cast<std::int64_t>(loaded_at_ms) : now_ms;
        s.preloaded_until_ns = (loaded - now_ms) * 1'000'000 + s.lifetime_ns;
    }
    ready.arrive_and_wait();
    std::printf("started connections=%u warmup=%.1f seconds=%.1f\n", s.connections, warmup,
                seconds);
    std::fflush(stdout);
    std::thread sampling;
    if (pid > 0)
        sampling = std::thread(
            [&] { sample_loop(pid, warmup, seconds, gate, done, sampled, sample_log); });
    for (auto& thread : threads) thread.join();
    const double elapsed = gate.elapsed();
    done.store(true);
    if (sampling.joinable()) sampling.join();
    if (sample_log != nullptr) std::fclose(sample_log);

    // ---- merge and judge ----
    tally all;
    for (const tally& t : tallies) {
        for (std::size_t k = 0; k < sk::kind_count; ++k)
            for (std::size_t a = 0; a < sk::answer_count; ++a) all.answers[k][a] += t.answers[k][a];
        for (std::size_t k = 0; k < sk::kind_count; ++k) all.learnt[k] += t.learnt[k];
        for (std::size_t w = 0; w < sk::wrong_count; ++w) all.wrongs[w] += t.wrongs[w];
        all.connection_failures += t.connection_failures;
        for (std::size_t a = 0; a < sk::answer_count; ++a)
            all.stall_answers[a] += t.stall_answers[a];
        for (const example& e : t.examples)
            if (all.examples.size() < example_limit) all.examples.push_back(e);
    }
    std::uint64_t checked = 0;
    std::uint64_t wrong_total = 0;
    std::uint64_t by_answer[sk::answer_count] = {};
    for (std::size_t k = 0; k < sk::kind_count; ++k)
        for (std::size_t a = 0; a < sk::answer_count; ++a) {
            checked += all.answers[k][a];
            by_answer[a] += all.answers[k][a];
        }
    for (std::size_t w = 1; w < sk::wrong_count; ++w) wrong_total += all.wrongs[w];

    std::printf("\nsoak: %u connections, %.1f s (%.0f s of warm-up), %" PRIu64
                " answers checked, %" PRIu64 " wrong, %" PRIu64
                " failed connections or commands\n\n",
                s.connections, elapsed, warmup, checked, wrong_total, all.connection_failures);
    std::printf(
        "| recipient kind | continue | reject 550 | tempfail 451 | other | no answer "
        "| of all, to a learnt address |\n");
    std::printf("| --- | ---: | ---: | ---: | ---: | ---: | ---: |\n");
    for (std::size_t k = 0; k < sk::kind_count; ++k) {
        std::printf("| %s |", sk::kind_name(static_cast<sk::kind>(k)));
        for (std::size_t a = 0; a < sk::answer_count; ++a)
            std::printf(" %" PRIu64 " |", all.answers[k][a]);
        std::printf(" %" PRIu64 " |\n", all.learnt[k]);
    }
    if (!s.stall_domain.empty()) {
        std::printf("| of them, of %s |", s.stall_domain.c_str());
        for (const std::uint64_t n : all.stall_answers) std::printf(" %" PRIu64 " |", n);
        std::printf(" |\n");
    }
    std::printf("\n| wrong answers | count |\n| --- | ---: |\n");
    for (std::size_t w = 1; w < sk::wrong_count; ++w)
        std::printf("| %s | %" PRIu64 " |\n", sk::wrong_name(static_cast<sk::wrong>(w)),
                    all.wrongs[w]);
    for (const example& e : all.examples) {
        std::printf("wrong: %.3f s <%s> (%s%s): %s\n", e.at, e.address.c_str(), sk::kind_name(e.k),
                    e.learnt ? ", learnt" : "", sk::answer_name(e.a));
    }

    bool grown = false;
    char extra[512] = "";
    if (pid > 0) {
        const sk::window_means first = sk::means(sampled.samples, 0, window);
        const sk::window_means last = sk::means(sampled.samples, seconds - window, seconds);
        const double g_rss = sk::growth_percent(first.rss_kb, last.rss_kb);
        const double g_threads = sk::growth_percent(first.threads, last.threads);
        const double g_fds = sk::growth_percent(first.fds, last.fds);
        std::printf("\n| kelvantor (pid %d) | first %.0f s | last %.0f s | growth | limit |\n", pid,
                    window, window);
        std::printf("| --- | ---: | ---: | ---: | ---: |\n");
        std::printf("| RSS (KiB) | %.0f | %.0f | %+.1f %% | %.0f %% |\n", first.rss_kb, last.rss_kb,
                    g_rss, max_growth);
        std::printf("| threads | %.1f | %.1f | %+.1f %% | %.0f %% |\n", first.threads, last.threads,
                    g_threads, max_growth);
        std::printf("| descriptors | %.1f | %.1f | %+.1f %% | %.0f %% |\n", first.fds, last.fds,
                    g_fds, max_growth);
        std::printf("(samples: %zu in the first window, %zu in the last, %zu in all)\n",
                    first.samples, last.samples, sampled.samples.size());
        if (sampled.gone) std::printf("kelvantor (pid %d) ended during the soak\n", pid);
        grown = sampled.gone || first.samples == 0 || last.samples == 0 || g_rss > max_growth ||
                (g_threads > max_growth && last.threads - first.threads > slack) ||
                (g_fds > max_growth && last.fds - first.fds > slack);
        std::snprintf(extra, sizeof extra,
                      " wrong=%" PRIu64 " conn_failures=%" PRIu64
                      " rss_first_kb=%.0f rss_last_kb=%.0f"
                      " threads_first=%.1f threads_last=%.1f fds_first=%.1f fds_last=%.1f"
                      " window_s=%.0f growth_ok=%d",
                      wrong_total, all.connection_failures, first.rss_kb, last.rss_kb,
                      first.threads, last.threads, first.fds, last.fds, window, grown ? 0 : 1);
    } else {
        std::snprintf(extra, sizeof extra, " wrong=%" PRIu64 " conn_failures=%" PRIu64, wrong_total,
                      all.connection_failures);
    }
    std::printf("\n");
    const int status = report("soak", logs, elapsed, gate.timed_out(), extra);
    const bool ok = status == 0 && wrong_total == 0 && all.connection_failures == 0 && !grown;
    return ok ? 0 : 1;
}
