// Health per backend server.  The blocks form a list that only grows: a new
// block is linked in front under a mutex and published with a release store,
// so lookups walk it without a lock, and a block once found stays valid.
#include "backend/server_health.h"

#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "routing/routes.h"

namespace kelvantor {
namespace {

struct health_node {
    explicit health_node(const backend_server& server) noexcept : health(server) {}
    server_health health;
    health_node* next = nullptr;
};

struct health_list {
    std::atomic<health_node*> head{nullptr};
    std::mutex adding;
};

health_list& blocks() {
    // Never destroyed: connection threads count until the process ends.
    static auto* const list = new health_list;
    return *list;
}

health_node* find(health_node* node, const backend_server& server) noexcept {
    for (; node != nullptr; node = node->next) {
        if (node->health.server() == server) return node;
    }
    return nullptr;
}

}  // namespace

server_name name_of(const backend_server& server) noexcept {
    server_name name{};
    const bool v6 = server.address.ss_family == AF_INET6;
    const auto length = static_cast<socklen_t>(v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&server.address), length, name.host,
                    sizeof name.host, nullptr, 0, NI_NUMERICHOST) != 0) {
        std::strcpy(name.host, "?");
    }
    std::snprintf(name.text, sizeof name.text, v6 ? "[%s]:%u" : "%s:%u", name.host,
                  static_cast<unsigned>(server.port));
    return name;
}

server_health::server_health(const backend_server& server) noexcept
    : server_(server), name_(name_of(server)) {}

void server_health::note_error(const char* what, int error) noexcept {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(error_mutex_);
    error_what_ = what;
    error_errno_ = error;
    error_at_ = now;
}

server_health_view server_health::view() const {
    server_health_view view;
    view.name = name_.text;
    view.circuit_open = circuit_open_.load(std::memory_order_relaxed);
    view.pooled = pooled_.load(std::memory_order_relaxed);
    view.pool_served = pool_served_.load(std::memory_order_relaxed);
    view.pool_timed_out = pool_timed_out_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < probe_reply_count; ++i) {
        view.probes[i] = probes_[i].value.load(std::memory_order_relaxed);
    }
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(error_mutex_);
    view.last_error = error_what_;
    view.last_errno = error_errno_;
    if (error_what_ != nullptr) view.error_age = now - error_at_;
    return view;
}

void server_health::reset() noexcept {
    for (auto& probe : probes_) probe.value.store(0, std::memory_order_relaxed);
    circuit_open_.store(false, std::memory_order_relaxed);
    pooled_.store(0, std::memory_order_relaxed);
    pool_served_.store(0, std::memory_order_relaxed);
    pool_timed_out_.store(0, std::memory_order_relaxed);
    down_until_.store(0, std::memory_order_relaxed);
    const std::lock_guard lock(error_mutex_);
    error_what_ = nullptr;
    error_errno_ = 0;
}

server_health& server_health_of(const backend_server& server) {
    health_list& list = blocks();
    if (health_node* known = find(list.head.load(std::memory_order_acquire), server)) {
        return known->health;
    }
    const std::lock_guard lock(list.adding);
    health_node* head = list.head.load(std::memory_order_acquire);
    if (health_node* known = find(head, server)) return known->health;
    auto added = std::make_unique<health_node>(server);
    added->next = head;
    list.head.store(added.get(), std::memory_order_release);
    return added.release()->health;
}

std::vector<server_health_view> server_health_report() {
    for (const route_target& target : routes_installed()->servers()) {
        server_health_of({target.server_addr, target.port});
    }
    std::vector<server_health_view> report;
    for (health_node* node = blocks().head.load(std::memory_order_acquire); node != nullptr;
         node = node->next) {
        report.push_back(node->health.view());
    }
    std::sort(report.begin(), report.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    return report;
}

void server_health_reset() noexcept {
    for (health_node* node = blocks().head.load(std::memory_order_acquire); node != nullptr;
         node = node->next) {
        node->health.reset();
    }
}

}  // namespace kelvantor
