// Exempt clients: the IPv4 networks and MTA daemon names whose clients are
// accepted without verification, the defaults added after the configuration,
// and the two matches run by the connect callback.  The installed set is
// never changed: a reload installs a new one, read without a lock.
#include "exemptions/exemptions.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>

#include "common/exit_status.h"
#include "common/log.h"
#include "common/snapshot.h"

namespace kelvantor {
namespace {

// The installed set; never destroyed: connection threads may read until
// the process ends.
snapshot<exemption_set>& installed() {
    static auto* const current = new snapshot<exemption_set>;
    return *current;
}

// Whether the client lies in the entry's network.  The configuration refuses
// prefix lengths above 32; should one arrive anyway it compares the whole address.
bool in_network(const skip_net& net, std::uint32_t client_addr) {
    const std::uint32_t difference = ntohl(net.addr ^ client_addr);
    if (net.prefix_len == 0) return true;
    const unsigned bits = net.prefix_len < 32 ? net.prefix_len : 32;
    const std::uint32_t mask = ~std::uint32_t{0} << (32 - bits);
    return (difference & mask) == 0;
}

}  // namespace

bool exemption_set::add_net(std::uint32_t addr, std::uint16_t prefix_len) {
    try {
        nets.push_front(skip_net{prefix_len, addr});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool exemption_set::add_daemon(std::string_view name) {
    try {
        daemons.emplace_front(name);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool exemption_set::add_defaults() {
    if (!add_net(inet_addr("127.0.0.1"), 32)) return false;
    log_msg(LOG_DEBUG, "BackSkipVerify set 127.0.0.1");
    if (daemons.empty()) {
        if (!add_daemon("MSA")) return false;
        log_msg(LOG_DEBUG, "BackSkipDaemon MSA");
    }
    return true;
}

std::size_t exemption_set::net_count() const noexcept {
    return static_cast<std::size_t>(std::distance(nets.begin(), nets.end()));
}

std::size_t exemption_set::daemon_count() const noexcept {
    return static_cast<std::size_t>(std::distance(daemons.begin(), daemons.end()));
}

bool exemptions_install(exemption_set&& set) {
    return installed().replace(std::move(set));
}

snapshot<exemption_set>::hold exemptions_installed() {
    return installed().get();
}

bool skip_net_add(std::uint32_t addr, std::uint16_t prefix_len) {
    return installed().change([&](exemption_set& set) { return set.add_net(addr, prefix_len); });
}

bool skip_daemon_add(std::string_view name) {
    return installed().change([&](exemption_set& set) { return set.add_daemon(name); });
}

void add_skip_defaults() {
    if (!installed().change([](exemption_set& set) { return set.add_defaults(); })) {
        std::exit(exit_status::configuration);
    }
}

bool skip_net_match(std::uint32_t client_addr) {
    const auto set = installed().get();
    for (const skip_net& net : set->nets) {
        if (in_network(net, client_addr)) return true;
    }
    return false;
}

bool skip_daemon_match(const char* name) {
    if (name == nullptr) return false;
    const auto set = installed().get();
    for (const std::string& exempt : set->daemons) {
        if (strcasecmp(name, exempt.c_str()) == 0) return true;
    }
    return false;
}

void exemption_lists_clear() {
    exemptions_install(exemption_set{});
}

}  // namespace kelvantor
