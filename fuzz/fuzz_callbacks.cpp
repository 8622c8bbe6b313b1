// fuzz_callbacks: callback orders on up to three connections through the smfi
// test double: an optional connect, then MAIL, RCPT (macro or none), end of headers,
// data and abort in any order, close last (also without a connect), against a
// loopback backend that refuses addresses starting with 'u'.  After the closes
// and the background closer's work the descriptors are back to their count
// (/proc/self/fd) and priv is cleared;
// ASan catches a context freed twice or used after its close.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend/closer.h"
#include "backend/conversation.h"
#include "cache/verdict_cache.h"
#include "common/log.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "fakes/fake_smfi.h"
#include "filter/filter.h"
#include "routing/routes.h"

namespace {

using namespace kelvantor;

void no_log(int, const char*) {}

void check(bool condition) {
    if (!condition) std::abort();
}

int listener = -1;
std::uint16_t port = 0;

sockaddr_storage ipv4(std::uint32_t address, std::uint16_t in_port = 0) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(in_port);
    in->sin_addr.s_addr = htonl(address);
    return storage;
}

int open_descriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    check(dir != nullptr);
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count;
}

// The backend: "220" banner, "550" to RCPT TO:<u..., "250" to every other line.
// Returns once stop_fd is readable and every connection has ended; aborts if
// one is still open two seconds after the stop (a client descriptor leaked).
void serve(int stop_fd) {
    struct connection {
        int fd;
        std::string pending;
    };
    std::vector<connection> conns;
    std::chrono::steady_clock::time_point stop_deadline{};
    bool stopping = false;
    for (;;) {
        std::vector<pollfd> fds{{stop_fd, POLLIN, 0}, {listener, POLLIN, 0}};
        for (const auto& c : conns) fds.push_back({c.fd, POLLIN, 0});
        check(::poll(fds.data(), fds.size(), stopping ? 10 : -1) >= 0);
        if (fds[0].revents != 0 && !stopping) {
            stopping = true;
            stop_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        }
        for (std::size_t i = 0; i < conns.size();) {
            bool open = true;
            if (fds[2 + i].revents != 0) {
                char block[2048];
                const ssize_t n = ::recv(conns[i].fd, block, sizeof block, MSG_DONTWAIT);
                if (n > 0) {
                    conns[i].pending.append(block, static_cast<std::size_t>(n));
                    for (auto lf = conns[i].pending.find('\n'); lf != std::string::npos;
                         lf = conns[i].pending.find('\n')) {
                        const bool unknown = conns[i].pending.compare(0, 10, "RCPT TO:<u") == 0;
                        conns[i].pending.erase(0, lf + 1);
                        const char* reply = unknown ? "550 no\r\n" : "250 ok\r\n";
                        ::send(conns[i].fd, reply, std::strlen(reply), MSG_NOSIGNAL);
                    }
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    open = false;
                }
            }
            if (open) {
                ++i;
            } else {
                ::close(conns[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(2 + i));
                conns.erase(conns.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        bool accepted = false;
        for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            accepted = true;
            ::send(fd, "220 ok\r\n", 8, MSG_NOSIGNAL);
            conns.push_back({fd, {}});
        }
        if (stopping && conns.empty() && !accepted) return;
        if (stopping) check(std::chrono::steady_clock::now() < stop_deadline);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_sink(no_log);
    std::strcpy(helo_name, "gw.test");
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage address = ipv4(INADDR_LOOPBACK);
    check(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(sockaddr_in)) == 0);
    check(::listen(listener, 64) == 0);
    socklen_t length = sizeof address;
    check(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    settings = settings_record{};
    settings.reply_timeout = 1;
    settings.connect_timeout_ms = 1000;
    route_list_clear();
    check(route_add("example.com", port, ipv4(INADDR_LOOPBACK)));
    exemption_lists_clear();
    add_skip_defaults();
    backend_closer();  // its eventfd is there before the first count of descriptors
    return 0;
}

// Input: a stream of (operation, argument) byte pairs; the operation's low
// two bits pick one of three connections (3: the first), the rest the call.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(verdict_cache_init(settings.valid_ttl, settings.invalid_ttl) == 0);
    reset_slow_banner_allowance();
    const int baseline = open_descriptors();
    int stop[2];
    check(::pipe2(stop, O_CLOEXEC) == 0);
    std::thread backend(serve, stop[0]);

    struct client {
        std::unique_ptr<smfi_str> ctx;
        bool connected = false;  // connect called, close not yet
    };
    client clients[3];
    const auto close_client = [](client& c) {
        check(cb_close(c.ctx.get()) == SMFIS_CONTINUE);
        check(c.ctx->priv == nullptr);
        c.ctx.reset();
        c.connected = false;
    };
    static const char* const addresses[] = {"a@example.com", "u@example.com", "A@EXAMPLE.COM",
                                            "b@other.org", "c@mail.example.com"};
    static const std::uint32_t client_addresses[] = {0xC0000201, INADDR_LOOPBACK, 0x0A000001};

    for (std::size_t at = 0; at + 1 < size && at < 128; at += 2) {
        client& c = clients[(data[at] & 3) % 3];
        const unsigned op = (data[at] >> 2) % 8;
        const std::uint8_t arg = data[at + 1];
        if (!c.ctx) c.ctx = std::make_unique<smfi_str>();
        SMFICTX* ctx = c.ctx.get();
        switch (op) {
            case 0: {  // connect, only first: libmilter never calls it twice
                if (c.connected || c.ctx->setpriv_calls != 0) break;
                if ((arg & 8) != 0) c.ctx->macros["{daemon_name}"] = (arg & 16) ? "msa" : "MTA";
                c.ctx->refuse_setpriv = (arg & 32) != 0 && (arg & 64) != 0;
                sockaddr_storage address = ipv4(client_addresses[arg % 3]);
                if ((arg & 128) != 0) address.ss_family = AF_INET6;  // all-zero: not loopback
                const sfsistat result = cb_connect(ctx, nullptr,
                                                   (arg & 4) != 0 && (arg & 64) == 0
                                                       ? nullptr
                                                       : reinterpret_cast<sockaddr*>(&address));
                check(result == SMFIS_CONTINUE || result == SMFIS_ACCEPT ||
                      result == SMFIS_TEMPFAIL);
                c.connected = true;
                break;
            }
            case 1:
                check(cb_envfrom(ctx, nullptr) == SMFIS_CONTINUE);
                break;
            case 2:
            case 3:
                if ((arg & 8) != 0) {
                    c.ctx->macros.erase("{rcpt_addr}");
                } else {
                    c.ctx->macros["{rcpt_addr}"] = addresses[arg % 5];
                }
                cb_envrcpt(ctx, nullptr);
                break;
            case 4:
                check(cb_eoh(ctx) == SMFIS_CONTINUE);
                break;
            case 5:
                check(cb_data(ctx) == SMFIS_CONTINUE);
                break;
            case 6:
                check(cb_abort(ctx) == SMFIS_CONTINUE);
                break;
            case 7:
                close_client(c);
                break;
        }
    }
    for (client& c : clients) {
        if (c.ctx) close_client(c);
    }

    // The closer ends the conversations in the background; its sockets are
    // closed once it is idle.
    check(backend_closer().wait_idle(std::chrono::seconds(5)));
    check(::write(stop[1], "x", 1) == 1);
    backend.join();
    ::close(stop[0]);
    ::close(stop[1]);
    check(open_descriptors() == baseline);
    return 0;
}
