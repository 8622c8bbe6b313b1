// Shared pieces of the benchmark clients: a small option reader, the run gate
// that bounds a load loop by count and by time, per-thread latency logs with
// their percentiles, the recipient address generator (cached, fresh, unknown
// and tempfail addresses in chosen shares) and the one-line result format.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvantor::bench {

using bench_clock = std::chrono::steady_clock;

// "--name value" pairs and bare "--flag"s; unknown names are refused by check().
class options {
public:
    options(int argc, char** argv);
    std::string text(const std::string& name, const std::string& fallback) const;
    std::uint64_t count(const std::string& name, std::uint64_t fallback) const;
    double number(const std::string& name, double fallback) const;
    bool flag(const std::string& name) const;
    // False (after printing why) when an option is not in known or lacks its value.
    bool check(const std::vector<std::string>& known) const;

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> bad_;
};

// Hands out transaction tickets until the count is spent or the time is up.
class run_gate {
public:
    run_gate(std::uint64_t transactions, double seconds);
    void start();  // starts the clock
    bool take();   // true: run one more transaction
    double elapsed() const;
    std::int64_t elapsed_ns(bench_clock::time_point at) const;  // since start()
    bool timed_out() const { return timed_out_.load(std::memory_order_relaxed); }

private:
    std::uint64_t limit_;
    std::chrono::nanoseconds budget_;
    bench_clock::time_point start_{};
    std::atomic<std::uint64_t> issued_{0};
    std::atomic<bool> timed_out_{false};
};

// What became of one recipient.
enum class outcome { accepted, rejected, deferred, other, failed };

// One worker's record; merged after the run.
struct worker_log {
    std::vector<std::uint32_t> latency_ns;  // one per recipient answered
    std::uint64_t transactions = 0;
    std::uint64_t skipped = 0;  // recipients answered without an exchange (probe client)
    std::uint64_t counts[5] = {0, 0, 0, 0, 0};  // by outcome
    std::string first_error;
    void record(outcome result, bench_clock::duration latency);
};

// Kinds of recipient the generator makes.
enum class address_kind { cached, fresh, unknown, tempfail };

struct address_plan {
    double cached_share = 0;       // taken at random from the preloaded set
    double unknown_share = 0;      // fresh, refused by the backend ("unknown..." local part)
    double tempfail_share = 0;     // fresh, deferred by the backend ("tempfail..." local part)
    std::uint64_t cached_set = 0;  // size of the preloaded set: <prefix>0 ... <prefix>N-1
    std::string cached_prefix = "h";
    std::string tag = "r";  // makes fresh addresses unique to this run
    std::string domain = "bench.test";
};

// Reads --cached-share, --unknown-share, --tempfail-share, --cached-set,
// --cached-prefix, --tag and --domain.
address_plan plan_from(const options& opts);
std::vector<std::string> plan_option_names();

class address_source {
public:
    address_source(const address_plan& plan, unsigned worker);
    // The next recipient address (no angle brackets); valid until the next call.
    const std::string& next(address_kind* kind = nullptr);

private:
    std::uint64_t random();
    const address_plan& plan_;
    unsigned worker_;
    std::uint64_t state_;
    std::uint64_t sequence_ = 0;
    std::string address_;
};

// Prints "result key=value ..." for the merged logs (extra, when not empty,
// appended to the line: " name=value ...") and returns the exit status: 0
// when recipients were answered and no worker failed, else 1.
int report(const char* what, const std::vector<worker_log>& logs, double seconds, bool timed_out,
           const std::string& extra = {});

// Microseconds between two steady-clock points, for display.
double micros(bench_clock::duration d);

}  // namespace kelvantor::bench
