// Exempt clients: the IPv4 networks and MTA daemon names whose clients are
// accepted without verification, the defaults added after the configuration,
// and the two matches run by the connect callback.  Both lists are complete
// before the milter threads start; the network list is read under its lock.
#include "exemptions/exemptions.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <forward_list>
#include <new>
#include <string>

#include "common/exit_status.h"
#include "common/log.h"
#include "common/rwlock.h"

namespace kelvantor {
namespace {

pthread_rwlock_t skip_net_lock;

// Heads are the entries added last.
std::forward_list<skip_net> skip_net_list;
std::forward_list<std::string> skip_daemon_list;

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

bool skip_net_add(std::uint32_t addr, std::uint16_t prefix_len) {
    try {
        skip_net_list.push_front(skip_net{prefix_len, addr});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool skip_daemon_add(std::string_view name) {
    try {
        skip_daemon_list.emplace_front(name);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void add_skip_defaults() {
    if (!skip_net_add(inet_addr("127.0.0.1"), 32)) std::exit(exit_status::configuration);
    log_msg(LOG_DEBUG, "BackSkipVerify set 127.0.0.1");
    if (skip_daemon_list.empty()) {
        if (!skip_daemon_add("MSA")) std::exit(exit_status::configuration);
        log_msg(LOG_DEBUG, "BackSkipDaemon MSA");
    }
}

int skip_net_lock_init() {
    return pthread_rwlock_init(&skip_net_lock, nullptr);
}

bool skip_net_match(std::uint32_t client_addr) {
    KV_READ_LOCK(skip_net_lock);
    for (const skip_net& net : skip_net_list) {
        if (in_network(net, client_addr)) return true;
    }
    return false;
}

bool skip_daemon_match(const char* name) {
    if (name == nullptr) return false;
    for (const std::string& exempt : skip_daemon_list) {
        if (strcasecmp(name, exempt.c_str()) == 0) return true;
    }
    return false;
}

void exemption_lists_clear() {
    skip_net_list.clear();
    skip_daemon_list.clear();
}

}  // namespace kelvantor
