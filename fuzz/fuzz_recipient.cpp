// fuzz_recipient: cb_envrcpt (smfi test double) against two scripted loopback
// backends (routes example.com, example.org) that answer the banner and each
// line with the next scripted reply, paced.  Every line sent is a known command
// without control characters, RCPT TO only for a given address routed there;
// every verdict cached is that server's reply to that address's RCPT TO (250
// valid, 550/553 invalid, nothing else); only the two known replies are set.
#include <arpa/inet.h>
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
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "backend/conversation.h"
#include "backend/reply.h"
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

constexpr const char* domains[2] = {"example.com", "example.org"};
int listeners[2] = {-1, -1};
std::uint16_t ports[2] = {0, 0};

sockaddr_storage loopback(std::uint16_t port) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return storage;
}

struct scripted_reply {
    std::string bytes;
    std::size_t chunk = 1;  // bytes per send up to the end of the first reply
    unsigned pause = 0;     // microseconds before each of those sends
};

// One line a backend received, and what it answered (nothing: it closed).
struct exchange {
    int server;
    std::string line;
    std::string reply;
};

// Length of the first whole reply in bytes, or 0 when there is none.
std::size_t first_reply_length(std::string_view bytes) {
    reply_scanner scanner;
    return scanner.scan(bytes.data(), bytes.size()) == reply_scanner::state::partial
               ? 0
               : scanner.reply_length();
}

// Sends a reply: paced chunks up to the end of its first whole reply, then
// the rest (bytes nobody asked for) in the same send as that end, so that
// they are queued by the time the client has the reply whole.  False when
// the reply is not whole: the backend then closes, never leaving a client
// waiting for the rest.
bool send_reply(int fd, const scripted_reply& reply) {
    const std::size_t end = first_reply_length(reply.bytes);
    const std::size_t paced = end == 0 ? reply.bytes.size() : end;
    std::size_t sent = 0;
    while (sent < reply.bytes.size()) {
        if (reply.pause > 0) std::this_thread::sleep_for(std::chrono::microseconds(reply.pause));
        std::size_t size = std::min(reply.chunk, paced - std::min(paced, sent));
        if (sent + size >= paced) size = reply.bytes.size() - sent;
        const ssize_t n = ::send(fd, reply.bytes.data() + sent, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return end != 0;
}

struct backend_thread {
    std::deque<scripted_reply> script;
    std::vector<exchange> transcript;
    int stop_pipe[2] = {-1, -1};
    bool leftover_fragment = false;

    struct connection {
        int fd;
        int server;
        std::string pending;
    };

    void serve() {
        std::vector<connection> conns;
        bool stopping = false;
        const auto answer = [&](connection& c, std::string line) -> bool {
            if (script.empty()) {
                transcript.push_back({c.server, std::move(line), {}});
                return false;
            }
            scripted_reply reply = std::move(script.front());
            script.pop_front();
            transcript.push_back({c.server, std::move(line), reply.bytes});
            return send_reply(c.fd, reply);
        };
        const auto accept_pending = [&]() {
            bool any = false;
            for (int s = 0; s < 2; ++s) {
                for (;;) {
                    const int fd = ::accept4(listeners[s], nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd < 0) break;
                    any = true;
                    connection c{fd, s, {}};
                    if (answer(c, "(banner)")) {
                        conns.push_back(std::move(c));
                    } else {
                        ::close(fd);
                    }
                }
            }
            return any;
        };
        for (;;) {
            std::vector<pollfd> fds{
                {stop_pipe[0], POLLIN, 0}, {listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}};
            for (const auto& c : conns) fds.push_back({c.fd, POLLIN, 0});
            check(::poll(fds.data(), fds.size(), -1) > 0);
            if (fds[0].revents != 0) stopping = true;
            for (std::size_t i = 0; i < conns.size();) {
                connection& c = conns[i];
                bool open = true;
                if ((fds[3 + i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    char block[4096];
                    const ssize_t n = ::recv(c.fd, block, sizeof block, MSG_DONTWAIT);
                    if (n > 0) {
                        c.pending.append(block, static_cast<std::size_t>(n));
                        for (auto lf = c.pending.find('\n'); open && lf != std::string::npos;
                             lf = c.pending.find('\n')) {
                            std::string line = c.pending.substr(0, lf + 1);
                            c.pending.erase(0, lf + 1);
                            open = answer(c, std::move(line));
                        }
                    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                        if (!c.pending.empty()) leftover_fragment = true;
                        open = false;
                    }
                }
                if (open) {
                    ++i;
                } else {
                    ::close(c.fd);
                    // Closing keeps the order of the rest; fds entries shift with them.
                    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(3 + i));
                    conns.erase(conns.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            const bool accepted = accept_pending();
            if (stopping && conns.empty() && !accepted) return;
        }
    }
};

bool has_control(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return true;
    }
    return false;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

void check_reply_set(const smfi_str& conn, int calls_before) {
    if (conn.setreply_calls == calls_before) return;
    check(conn.reply.has_value());
    const auto& r = *conn.reply;
    check((r.code == "550" && r.status == "5.1.1" && r.text == " User unknown") ||
          (r.code == "451" && r.status == "4.7.0" && r.text == "Internal error"));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_log_sink(no_log);
    std::strcpy(helo_name, "gw.test");
    for (int s = 0; s < 2; ++s) {
        listeners[s] = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_storage address = loopback(0);
        check(::bind(listeners[s], reinterpret_cast<sockaddr*>(&address), sizeof(sockaddr_in)) ==
              0);
        check(::listen(listeners[s], 64) == 0);
        socklen_t length = sizeof address;
        check(::getsockname(listeners[s], reinterpret_cast<sockaddr*>(&address), &length) == 0);
        ports[s] = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    return 0;
}

// Input: records separated by NUL bytes, each a type byte and its text:
//   'S' c bytes  a scripted reply (chunk (c & 15) * 4 + 1 bytes, pause
//                (c >> 4) * 12 us when c >= 0x80, else none)
//   'R' address  RCPT TO with {rcpt_addr} = address ('M': with no macro)
//   'H' end of headers, 'A' an abort
//   'F' f        flags: bit 0 BackErrorTempfail, bit 1 BackAddrSubdomains
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    backend_thread backend;
    struct step {
        char type;
        std::string text;
    };
    std::vector<step> steps;
    settings = settings_record{};
    settings.reply_timeout = 1;
    settings.connect_timeout_ms = 1000;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (std::size_t at = 0; at < input.size();) {
        std::size_t end = input.find('\0', at);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view record = input.substr(at, end - at);
        at = end + 1;
        if (record.empty()) continue;
        const std::string_view text = record.substr(1);
        switch (record[0]) {
            case 'S': {
                if (text.empty()) break;
                const auto c = static_cast<unsigned char>(text[0]);
                backend.script.push_back({std::string(text.substr(1)), (c & 15u) * 4u + 1u,
                                          c >= 0x80 ? ((c >> 4) & 7u) * 12u : 0u});
                break;
            }
            case 'F':
                if (!text.empty()) {
                    settings.tempfail_on_error = (text[0] & 1) != 0;
                    settings.subdomains = (text[0] & 2) != 0;
                }
                break;
            case 'R':
            case 'M':
            case 'H':
            case 'A':
                if (steps.size() < 32) steps.push_back({record[0], std::string(text)});
                break;
            default:
                break;
        }
    }
    if (backend.script.size() > 64) return -1;

    route_list_clear();
    route_match_subdomains(settings.subdomains);
    for (int s = 0; s < 2; ++s) check(route_add(domains[s], ports[s], loopback(0)));
    exemption_lists_clear();
    check(verdict_cache_init(settings.valid_ttl, settings.invalid_ttl) == 0);
    reset_slow_banner_allowance();

    check(::pipe2(backend.stop_pipe, O_CLOEXEC) == 0);
    std::thread server([&backend] { backend.serve(); });

    std::vector<std::string> addresses;  // as the filter sees them: up to a NUL
    smfi_str conn;
    sockaddr_storage client = loopback(0);
    reinterpret_cast<sockaddr_in*>(&client)->sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1
    check(cb_connect(&conn, nullptr, reinterpret_cast<sockaddr*>(&client)) == SMFIS_CONTINUE);
    for (const auto& s : steps) {
        const int calls = conn.setreply_calls;
        switch (s.type) {
            case 'R':
            case 'M': {
                conn.macros.erase("{rcpt_addr}");
                if (s.type == 'R') {
                    conn.macros["{rcpt_addr}"] = s.text;
                    addresses.emplace_back(s.text.c_str());
                }
                const sfsistat result = cb_envrcpt(&conn, nullptr);
                check(result == SMFIS_CONTINUE || result == SMFIS_REJECT ||
                      result == SMFIS_TEMPFAIL);
                if (result == SMFIS_REJECT) {
                    check(conn.reply.has_value() && conn.reply->code == "550");
                }
                break;
            }
            case 'H':
                check(cb_eoh(&conn) == SMFIS_CONTINUE);
                break;
            case 'A':
                check(cb_abort(&conn) == SMFIS_CONTINUE);
                break;
        }
        check_reply_set(conn, calls);
    }
    check(cb_close(&conn) == SMFIS_CONTINUE);
    check(conn.priv == nullptr);

    check(::write(backend.stop_pipe[1], "x", 1) == 1);
    server.join();
    ::close(backend.stop_pipe[0]);
    ::close(backend.stop_pipe[1]);
    check(!backend.leftover_fragment);

    // What each backend was asked, and what it may have taught.
    std::multimap<std::string, std::uint32_t> teachable;
    for (const auto& e : backend.transcript) {
        if (e.line == "(banner)") continue;
        const std::string_view line = e.line;
        check(line.size() >= 2 && line.substr(line.size() - 2) == "\r\n");
        const std::string_view command = line.substr(0, line.size() - 2);
        check(!has_control(command));
        if (starts_with(command, "RCPT TO:<")) {
            check(command.back() == '>');
            const std::string address(command.substr(9, command.size() - 10));
            bool given = false;
            for (const auto& a : addresses) given = given || a == address;
            check(given);
            check(route_lookup(domain_of(address.c_str())).port == ports[e.server]);
            const std::size_t length = first_reply_length(e.reply);
            const reply_kind kind =
                length == 0 ? reply_kind::unusable : classify_reply({e.reply.data(), length});
            if (kind == reply_kind::accepted) teachable.emplace(address, VERDICT_VALID);
            if (kind == reply_kind::unknown_user) teachable.emplace(address, VERDICT_INVALID);
        } else {
            check(command == "HELO gw.test" ||
                  command == "MAIL FROM:<postmaster+backscatter@gw.test>" || command == "RSET" ||
                  command == "QUIT");
        }
    }
    auto learnt = [&teachable](std::uint32_t status, const char* address) {
        auto [from, to] = teachable.equal_range(address);
        for (; from != to; ++from) {
            if (from->second == status) {
                teachable.erase(from);
                return true;
            }
        }
        std::abort();  // a verdict no backend gave for that address
    };
    verdict_walk(learnt);
    return 0;
}
