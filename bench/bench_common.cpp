// Shared pieces of the benchmark clients: option reading, the bounded run
// gate, latency logs and percentiles, the recipient address generator and the
// result line that bench/run-all parses.
#include "bench_common.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace kelvantor::bench {

options::options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (!arg.starts_with("--")) {
            bad_.emplace_back(arg);
            continue;
        }
        const std::string name(arg.substr(2));
        if (i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--")) {
            values_[name] = argv[++i];
        } else {
            values_[name] = "";
        }
    }
}

std::string options::text(const std::string& name, const std::string& fallback) const {
    const auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
}

std::uint64_t options::count(const std::string& name, std::uint64_t fallback) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return fallback;
    return std::strtoull(found->second.c_str(), nullptr, 10);
}

double options::number(const std::string& name, double fallback) const {
    const auto found = values_.find(name);
    if (found == values_.end()) return fallback;
    return std::strtod(found->second.c_str(), nullptr);
}

bool options::flag(const std::string& name) const {
    return values_.contains(name);
}

bool options::check(const std::vector<std::string>& known) const {
    bool ok = bad_.empty();
    for (const auto& arg : bad_) std::fprintf(stderr, "unexpected argument: %s\n", arg.c_str());
    for (const auto& [name, value] : values_) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::fprintf(stderr, "unknown option: --%s\n", name.c_str());
            ok = false;
        }
    }
    return ok;
}

run_gate::run_gate(std::uint64_t transactions, double seconds)
    : limit_(transactions),
      budget_(std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::duration<double>(seconds))) {}

void run_gate::start() {
    start_ = bench_clock::now();
}

bool run_gate::take() {
    if (bench_clock::now() - start_ >= budget_) {
        timed_out_.store(true, std::memory_order_relaxed);
        return false;
    }
    return issued_.fetch_add(1, std::memory_order_relaxed) < limit_;
}

double run_gate::elapsed() const {
    return std::chrono::duration<double>(bench_clock::now() - start_).count();
}

std::int64_t run_gate::elapsed_ns(bench_clock::time_point at) const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at - start_).count();
}

void worker_log::record(outcome result, bench_clock::duration latency) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(latency).count();
    latency_ns.push_back(static_cast<std::uint32_t>(std::clamp<std::int64_t>(ns, 0, UINT32_MAX)));
    ++counts[static_cast<int>(result)];
}

std::vector<std::string> plan_option_names() {
    return {"cached-share",  "unknown-share", "tempfail-share", "cached-set",
            "cached-prefix", "tag",           "domain"};
}

address_plan plan_from(const options& opts) {
    address_plan plan;
    plan.cached_share = opts.number("cached-share", 0);
    plan.unknown_share = opts.number("unknown-share", 0);
    plan.tempfail_share = opts.number("tempfail-share", 0);
    plan.cached_set = opts.count("cached-set", 0);
    plan.cached_prefix = opts.text("cached-prefix", plan.cached_prefix);
    plan.tag = opts.text("tag", plan.tag);
    plan.domain = opts.text("domain", plan.domain);
    if (plan.cached_set == 0) plan.cached_share = 0;
    return plan;
}

// A starting point of the splitmix64 sequence far from every other worker's:
// the murmur3 finaliser of the worker number (plain multiples of the
// sequence's increment would give shifted copies of one stream).
static std::uint64_t start_state(unsigned worker) {
    std::uint64_t h = worker + 0x51ed270b27e5f3a1ULL;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

address_source::address_source(const address_plan& plan, unsigned worker)
    : plan_(plan), worker_(worker), state_(start_state(worker)) {
    address_.reserve(96);
}

std::uint64_t address_source::random() {
    // splitmix64
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

const std::string& address_source::next(address_kind* kind) {
    const double draw = static_cast<double>(random() >> 11) * 0x1.0p-53;
    address_kind chosen = address_kind::fresh;
    if (draw < plan_.cached_share) {
        chosen = address_kind::cached;
    } else if (draw < plan_.cached_share + plan_.unknown_share) {
        chosen = address_kind::unknown;
    } else if (draw < plan_.cached_share + plan_.unknown_share + plan_.tempfail_share) {
        chosen = address_kind::tempfail;
    }
    if (kind != nullptr) *kind = chosen;

    char local[80];
    if (chosen == address_kind::cached) {
        std::snprintf(local, sizeof local, "%s%" PRIu64, plan_.cached_prefix.c_str(),
                      random() % plan_.cached_set);
    } else {
        const char* lead = chosen == address_kind::unknown    ? "unknown"
                           : chosen == address_kind::tempfail ? "tempfail"
                                                              : "f";
        std::snprintf(local, sizeof local, "%s%s-%u-%" PRIu64, lead, plan_.tag.c_str(), worker_,
                      sequence_++);
    }
    address_.assign(local);
    address_.push_back('@');
    address_.append(plan_.domain);
    return address_;
}

double micros(bench_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

int report(const char* what, const std::vector<worker_log>& logs, double seconds, bool timed_out,
           const std::string& extra) {
    std::vector<std::uint32_t> all;
    std::uint64_t counts[5] = {0, 0, 0, 0, 0};
    std::uint64_t transactions = 0;
    std::uint64_t skipped = 0;
    std::string first_error;
    std::size_t total = 0;
    for (const auto& log : logs) total += log.latency_ns.size();
    all.reserve(total);
    for (const auto& log : logs) {
        all.insert(all.end(), log.latency_ns.begin(), log.latency_ns.end());
        for (int i = 0; i < 5; ++i) counts[i] += log.counts[i];
        transactions += log.transactions;
        skipped += log.skipped;
        if (first_error.empty() && !log.first_error.empty()) first_error = log.first_error;
    }
    auto percentile = [&all](double p) -> double {
        if (all.empty()) return 0;
        const auto rank = static_cast<std::size_t>(p * static_cast<double>(all.size() - 1));
        std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(rank), all.end());
        return all[rank] / 1000.0;
    };
    const double p50 = percentile(0.50);
    const double p99 = percentile(0.99);
    const double max = all.empty() ? 0 : *std::max_element(all.begin(), all.end()) / 1000.0;
    const std::uint64_t handled = all.size() + skipped;
    const double rate = seconds > 0 ? static_cast<double>(handled) / seconds : 0;
    std::printf("result what=%s rcpts=%" PRIu64 " exchanged=%zu tx=%" PRIu64
                " seconds=%.3f rcpt_per_s=%.1f p50_us=%.1f "
                "p99_us=%.1f max_us=%.1f accepted=%" PRIu64 " rejected=%" PRIu64
                " deferred=%" PRIu64 " other=%" PRIu64 " failed=%" PRIu64 " timed_out=%d%s\n",
                what, handled, all.size(), transactions, seconds, rate, p50, p99, max, counts[0],
                counts[1], counts[2], counts[3], counts[4], timed_out ? 1 : 0, extra.c_str());
    if (!first_error.empty())
        std::fprintf(stderr, "%s: first error: %s\n", what, first_error.c_str());
    std::fflush(stdout);
    return handled == 0 || counts[static_cast<int>(outcome::failed)] != 0 ? 1 : 0;
}

}  // namespace kelvantor::bench
