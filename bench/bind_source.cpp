// libkv_bench_bind_source.so, an LD_PRELOAD shim for clients that cannot choose
// their source address (smtp-source): every IPv4 socket that connects to a
// loopback address without having been bound is first bound to the address in
// KV_BIND_SOURCE (e.g. 127.0.0.2), so that the MTA sees a client that is not exempt.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>

namespace {

using connect_fn = int (*)(int, const sockaddr*, socklen_t);

connect_fn real_connect() {
    static const auto real = reinterpret_cast<connect_fn>(dlsym(RTLD_NEXT, "connect"));
    return real;
}

bool unbound(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    return local.sin_family == AF_INET && local.sin_port == 0 && local.sin_addr.s_addr == 0;
}

}  // namespace

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    const char* source = std::getenv("KV_BIND_SOURCE");
    if (source != nullptr && address != nullptr && address->sa_family == AF_INET &&
        length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* target = reinterpret_cast<const sockaddr_in*>(address);
        const bool loopback = (ntohl(target->sin_addr.s_addr) >> 24) == 127;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (loopback && inet_pton(AF_INET, source, &local.sin_addr) == 1 && unbound(fd)) {
            const int saved = errno;
            (void)bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);  // best effort
            errno = saved;
        }
    }
    const connect_fn real = real_connect();
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, address, length);
}
