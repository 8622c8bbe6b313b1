// The soak's rules for kelvantor's answers, and its resource samples.
#include "soak_rules.h"

#include <dirent.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace kelvantor::bench::soak {

using testing::milter_verdict;

const char* kind_name(kind k) {
    switch (k) {
        case kind::cached_valid:
            return "cached valid";
        case kind::cached_invalid:
            return "cached invalid";
        case kind::fresh_valid:
            return "fresh valid";
        case kind::fresh_unknown:
            return "fresh unknown";
        case kind::again_valid:
            return "fresh valid again";
        case kind::again_unknown:
            return "fresh unknown again";
        case kind::tempfail:
            return "backend tempfail";
    }
    return "?";
}

bool is_unknown(kind k) {
    return k == kind::cached_invalid || k == kind::fresh_unknown || k == kind::again_unknown;
}

bool is_valid(kind k) {
    return k == kind::cached_valid || k == kind::fresh_valid || k == kind::again_valid;
}

const char* answer_name(answer a) {
    switch (a) {
        case answer::pass:
            return "continue";
        case answer::reject:
            return "reject 550";
        case answer::defer:
            return "tempfail 451";
        case answer::foreign:
            return "other";
        case answer::lost:
            return "no answer";
    }
    return "?";
}

answer classify(const testing::milter_reply& reply) {
    switch (reply.verdict) {
        case milter_verdict::proceed:
            return reply.text.empty() ? answer::pass : answer::foreign;
        case milter_verdict::reject:
            return reply.text == "550 5.1.1  User unknown" ? answer::reject : answer::foreign;
        case milter_verdict::tempfail:
            return reply.text == "451 4.7.0 Internal error" ? answer::defer : answer::foreign;
        case milter_verdict::failed:
            return answer::lost;
        default:
            return answer::foreign;
    }
}

const char* wrong_name(wrong w) {
    switch (w) {
        case wrong::none:
            return "none";
        case wrong::unknown_passed:
            return "unknown address passed";
        case wrong::known_rejected:
            return "valid address rejected";
        case wrong::tempfail_rejected:
            return "tempfail address rejected";
        case wrong::learnt_forgotten:
            return "learnt address deferred";
        case wrong::foreign_answer:
            return "answer of another kind";
        case wrong::no_answer:
            return "no answer (connection failed)";
    }
    return "?";
}

wrong judge(kind k, bool learnt, answer a, on_error mode) {
    if (a == answer::lost) return wrong::no_answer;
    if (a == answer::foreign) return wrong::foreign_answer;
    if (k == kind::tempfail) return a == answer::reject ? wrong::tempfail_rejected : wrong::none;
    if (is_valid(k)) {
        if (a == answer::reject) return wrong::known_rejected;
        if (a == answer::defer && learnt) return wrong::learnt_forgotten;
        return wrong::none;
    }
    // Unknown addresses.
    if (a == answer::pass && (learnt || mode == on_error::defer)) return wrong::unknown_passed;
    if (a == answer::defer && learnt) return wrong::learnt_forgotten;
    return wrong::none;
}

bool teaches(kind k, answer a, on_error mode) {
    if (is_unknown(k)) return a == answer::reject;
    return is_valid(k) && a == answer::pass && mode == on_error::defer;
}

address_pool::address_pool(std::size_t capacity)
    : taught_(std::make_unique<std::atomic<std::int64_t>[]>(capacity)), capacity_(capacity) {}

std::optional<sample> read_sample(int pid, double at) {
    sample s;
    s.at = at;
    const std::string base = "/proc/" + std::to_string(pid);
    std::FILE* status = std::fopen((base + "/status").c_str(), "r");
    if (status == nullptr) return std::nullopt;
    char line[256];
    bool rss = false;
    bool threads = false;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned long long value = 0;
        if (std::sscanf(line, "VmRSS: %llu", &value) == 1) {
            s.rss_kb = value;
            rss = true;
        } else if (std::sscanf(line, "Threads: %llu", &value) == 1) {
            s.threads = value;
            threads = true;
        }
    }
    std::fclose(status);
    // A zombie has neither its memory nor its descriptors any more.
    if (!rss || !threads) return std::nullopt;
    DIR* fds = opendir((base + "/fd").c_str());
    if (fds == nullptr) return std::nullopt;
    while (const dirent* entry = readdir(fds)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++s.fds;
    }
    closedir(fds);
    return s;
}

window_means means(const std::vector<sample>& samples, double from, double to) {
    window_means m;
    for (const sample& s : samples) {
        if (s.at < from || s.at >= to) continue;
        ++m.samples;
        m.rss_kb += static_cast<double>(s.rss_kb);
        m.threads += static_cast<double>(s.threads);
        m.fds += static_cast<double>(s.fds);
    }
    if (m.samples > 0) {
        const auto n = static_cast<double>(m.samples);
        m.rss_kb /= n;
        m.threads /= n;
        m.fds /= n;
    }
    return m;
}

double growth_percent(double earlier, double later) {
    return earlier > 0 ? (later / earlier - 1) * 100 : 0;
}

double window_for(double seconds) {
    return std::fmin(20, std::fmax(1, std::floor(seconds / 3)));
}

}  // namespace kelvantor::bench::soak
