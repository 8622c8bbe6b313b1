// The MTA side of the milter protocol: framing (a 4-byte big-endian length,
// the command byte, its data), negotiation, and the stage commands with their
// answers.  The socket is non-blocking and every wait is bounded by poll();
// buffers are members that keep their capacity from one command to the next.
#include "milter_client/milter_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libmilter/mfapi.h>
#include <libmilter/mfdef.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kelvantor::testing {

namespace mp = milter_protocol;

// The wire values above must be libmilter's own.
static_assert(mp::version == SMFI_PROT_VERSION);
static_assert(mp::no_connect == SMFIP_NOCONNECT && mp::no_helo == SMFIP_NOHELO);
static_assert(mp::no_mail == SMFIP_NOMAIL && mp::no_rcpt == SMFIP_NORCPT);
static_assert(mp::no_body == SMFIP_NOBODY && mp::no_headers == SMFIP_NOHDRS);
static_assert(mp::no_eoh == SMFIP_NOEOH && mp::no_reply_header == SMFIP_NR_HDR);
static_assert(mp::no_unknown == SMFIP_NOUNKNOWN && mp::no_data == SMFIP_NODATA);
static_assert(mp::skip == SMFIP_SKIP && mp::rcpt_rejected == SMFIP_RCPT_REJ);
static_assert(mp::no_reply_connect == SMFIP_NR_CONN && mp::no_reply_helo == SMFIP_NR_HELO);
static_assert(mp::no_reply_mail == SMFIP_NR_MAIL && mp::no_reply_rcpt == SMFIP_NR_RCPT);
static_assert(mp::no_reply_data == SMFIP_NR_DATA && mp::no_reply_unknown == SMFIP_NR_UNKN);
static_assert(mp::no_reply_eoh == SMFIP_NR_EOH && mp::no_reply_body == SMFIP_NR_BODY);
static_assert(mp::header_leading_space == SMFIP_HDR_LEADSPC);
static_assert(mp::all_options == SMFI_CURR_PROT && mp::all_actions == SMFI_CURR_ACTS);

namespace {

// Largest packet accepted from a filter (the 1 MB data size plus framing).
constexpr std::size_t max_packet = (1024 * 1024) + 16;

void put_u32(std::string& out, std::uint32_t value) {
    const std::uint32_t be = htonl(value);
    out.append(reinterpret_cast<const char*>(&be), sizeof be);
}

std::uint32_t get_u32(const char* data) {
    std::uint32_t be = 0;
    std::memcpy(&be, data, sizeof be);
    return ntohl(be);
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool is_final(char code) {
    switch (code) {
        case SMFIR_CONTINUE:
        case SMFIR_ACCEPT:
        case SMFIR_REJECT:
        case SMFIR_TEMPFAIL:
        case SMFIR_DISCARD:
        case SMFIR_SKIP:
        case SMFIR_REPLYCODE:
        case SMFIR_SHUTDOWN:
        case SMFIR_CONN_FAIL:
            return true;
        default:
            return false;
    }
}

bool is_modification(char code) {
    switch (code) {
        case SMFIR_ADDRCPT:
        case SMFIR_DELRCPT:
        case SMFIR_ADDRCPT_PAR:
        case SMFIR_REPLBODY:
        case SMFIR_CHGFROM:
        case SMFIR_ADDHEADER:
        case SMFIR_INSHEADER:
        case SMFIR_CHGHEADER:
        case SMFIR_QUARANTINE:
            return true;
        default:
            return false;
    }
}

// Opens a non-blocking stream socket connected to the socket named by spec, or returns -1 with
// a message in error.
int connect_spec(std::string_view spec, int timeout_ms, std::string& error) {
    sockaddr_storage address{};
    socklen_t address_length = 0;
    int family = AF_UNIX;
    std::string_view rest = spec;
    const auto colon = spec.find(':');
    std::string_view protocol = colon == std::string_view::npos ? "" : spec.substr(0, colon);
    if (protocol == "inet" || protocol == "inet6") {
        rest = spec.substr(colon + 1);
        family = protocol == "inet" ? AF_INET : AF_INET6;
        const auto at = rest.find('@');
        const std::string port(rest.substr(0, at));
        std::string host = at == std::string_view::npos
                               ? std::string(family == AF_INET ? "127.0.0.1" : "::1")
                               : std::string(rest.substr(at + 1));
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* result = nullptr;
        const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
        if (rc != 0 || result == nullptr) {
            error = "cannot resolve " + std::string(spec) + ": " + gai_strerror(rc);
            return -1;
        }
        std::memcpy(&address, result->ai_addr, result->ai_addrlen);
        address_length = result->ai_addrlen;
        freeaddrinfo(result);
    } else {
        if (protocol == "unix" || protocol == "local") {
            rest = spec.substr(colon + 1);
        } else if (!protocol.empty()) {
            error = "unknown socket protocol in " + std::string(spec);
            return -1;
        }
        sockaddr_un un{};
        if (rest.empty() || rest.size() >= sizeof un.sun_path) {
            error = "bad unix socket path in " + std::string(spec);
            return -1;
        }
        un.sun_family = AF_UNIX;
        std::memcpy(un.sun_path, rest.data(), rest.size());
        std::memcpy(&address, &un, sizeof un);
        address_length = sizeof un;
    }

    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (family != AF_UNIX) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), address_length) != 0) {
        if (errno != EINPROGRESS && errno != EAGAIN) {
            error = "connect " + std::string(spec) + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        pollfd pfd{fd, POLLOUT, 0};
        int so_error = 0;
        socklen_t so_length = sizeof so_error;
        const int ready = ::poll(&pfd, 1, timeout_ms);
        if (ready <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &so_length) != 0 ||
            so_error != 0) {
            error = "connect " + std::string(spec) + ": " +
                    (ready == 0 ? "timed out" : std::strerror(so_error != 0 ? so_error : errno));
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

std::string_view verdict_name(milter_verdict verdict) {
    switch (verdict) {
        case milter_verdict::proceed:
            return "continue";
        case milter_verdict::accept:
            return "accept";
        case milter_verdict::reject:
            return "reject";
        case milter_verdict::tempfail:
            return "tempfail";
        case milter_verdict::discard:
            return "discard";
        case milter_verdict::skip:
            return "skip";
        case milter_verdict::stage_off:
            return "off";
        case milter_verdict::no_reply:
            return "noreply";
        case milter_verdict::failed:
            break;
    }
    return "error";
}

milter_client::~milter_client() {
    close();
}

milter_client::milter_client(milter_client&& other) noexcept {
    *this = std::move(other);
}

milter_client& milter_client::operator=(milter_client&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        timeout_ms_ = other.timeout_ms_;
        filter_version_ = other.filter_version_;
        filter_actions_ = other.filter_actions_;
        filter_protocol_ = other.filter_protocol_;
        payload_ = std::move(other.payload_);
        out_ = std::move(other.out_);
        in_ = std::move(other.in_);
        in_pos_ = std::exchange(other.in_pos_, 0);
        in_len_ = std::exchange(other.in_len_, 0);
        reply_ = std::move(other.reply_);
        error_ = std::move(other.error_);
    }
    return *this;
}

bool milter_client::open(std::string_view socket_spec, const milter_client_options& options) {
    close();
    error_.clear();
    timeout_ms_ = static_cast<int>(options.io_timeout.count());
    fd_ = connect_spec(socket_spec, timeout_ms_, error_);
    if (fd_ < 0) {
        return false;
    }
    return negotiate(options);
}

void milter_client::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    in_pos_ = in_len_ = 0;
}

bool milter_client::negotiate(const milter_client_options& options) {
    payload_.clear();
    put_u32(payload_, mp::version);
    put_u32(payload_, options.actions);
    put_u32(payload_, options.protocol);
    char command = 0;
    std::string_view answer;
    if (!send_command(SMFIC_OPTNEG) || !read_packet(command, answer)) {
        close();
        return false;
    }
    if (command != SMFIC_OPTNEG || answer.size() < MILTER_OPTLEN) {
        error_ = "bad negotiation answer '" + std::string(1, command) + "' of " +
                 std::to_string(answer.size()) + " bytes";
        close();
        return false;
    }
    filter_version_ = get_u32(answer.data());
    filter_actions_ = get_u32(answer.data() + 4);
    filter_protocol_ = get_u32(answer.data() + 8);
    // Any macro lists requested after the three numbers are not needed here.
    return true;
}

bool milter_client::stage_enabled(milter_stage stage) const noexcept {
    std::uint32_t off = 0;
    switch (stage) {
        case milter_stage::connect:
            off = mp::no_connect;
            break;
        case milter_stage::helo:
            off = mp::no_helo;
            break;
        case milter_stage::mail:
            off = mp::no_mail;
            break;
        case milter_stage::rcpt:
            off = mp::no_rcpt;
            break;
        case milter_stage::data:
            off = mp::no_data;
            break;
        case milter_stage::header:
            off = mp::no_headers;
            break;
        case milter_stage::eoh:
            off = mp::no_eoh;
            break;
        case milter_stage::body:
            off = mp::no_body;
            break;
        case milter_stage::eom:
            return true;
        case milter_stage::unknown:
            off = mp::no_unknown;
            break;
    }
    return (filter_protocol_ & off) == 0;
}

bool milter_client::write_all(const char* data, std::size_t length) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
    while (length > 0) {
        const ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{fd_, POLLOUT, 0};
            const int ready = ::poll(&pfd, 1, remaining_ms(deadline));
            if (ready > 0 || (ready < 0 && errno == EINTR)) {
                continue;
            }
            error_ = "write timed out";
            return false;
        }
        error_ = std::string("write: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool milter_client::send_command(char command) {
    if (fd_ < 0) {
        error_ = "not connected";
        return false;
    }
    out_.clear();
    put_u32(out_, static_cast<std::uint32_t>(payload_.size() + 1));
    out_.push_back(command);
    out_.append(payload_);
    return write_all(out_.data(), out_.size());
}

// Makes at least wanted unparsed bytes available in in_[in_pos_, in_len_).
bool milter_client::fill(std::size_t wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
    if (in_pos_ == in_len_) {
        in_pos_ = in_len_ = 0;
    }
    while (in_len_ - in_pos_ < wanted) {
        if (in_pos_ > 0) {  // move the unparsed rest to the front before reading more
            std::memmove(in_.data(), in_.data() + in_pos_, in_len_ - in_pos_);
            in_len_ -= in_pos_;
            in_pos_ = 0;
        }
        if (in_.size() < std::max<std::size_t>(wanted, 8192)) {
            in_.resize(std::max<std::size_t>(wanted, 8192));
        }
        const ssize_t n = ::recv(fd_, in_.data() + in_len_, in_.size() - in_len_, 0);
        if (n > 0) {
            in_len_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            error_ = "connection closed by the filter";
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd pfd{fd_, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, remaining_ms(deadline));
            if (ready > 0 || (ready < 0 && errno == EINTR)) {
                continue;
            }
            error_ = "no answer from the filter within " + std::to_string(timeout_ms_) + " ms";
            return false;
        }
        error_ = std::string("read: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool milter_client::read_packet(char& command, std::string_view& payload) {
    if (!fill(MILTER_LEN_BYTES)) {
        return false;
    }
    const std::uint32_t length = get_u32(in_.data() + in_pos_);
    if (length == 0 || length > max_packet) {
        error_ = "bad packet length " + std::to_string(length);
        return false;
    }
    if (!fill(MILTER_LEN_BYTES + length)) {
        return false;
    }
    command = in_[in_pos_ + MILTER_LEN_BYTES];
    payload = std::string_view(in_.data() + in_pos_ + MILTER_LEN_BYTES + 1, length - 1);
    in_pos_ += MILTER_LEN_BYTES + length;
    return true;
}

const milter_reply& milter_client::fail(std::string message) {
    error_ = std::move(message);
    reply_.verdict = milter_verdict::failed;
    close();
    return reply_;
}

const milter_reply& milter_client::stage_off() {
    reply_.verdict = milter_verdict::stage_off;
    return reply_;
}

const milter_reply& milter_client::exchange(char command, std::uint32_t off_bit,
                                            std::uint32_t no_reply_bit) {
    reply_.code = 0;
    reply_.text.clear();
    reply_.modifications.clear();
    if ((filter_protocol_ & off_bit) != 0) {
        return stage_off();
    }
    if (!send_command(command)) {
        return fail(error_);
    }
    if ((filter_protocol_ & no_reply_bit) != 0) {
        reply_.verdict = milter_verdict::no_reply;
        return reply_;
    }
    for (;;) {
        char code = 0;
        std::string_view data;
        if (!read_packet(code, data)) {
            return fail(error_);
        }
        if (code == SMFIR_PROGRESS) {
            continue;
        }
        if (is_modification(code)) {
            reply_.modifications.push_back({code, std::string(data)});
            continue;
        }
        if (!is_final(code)) {
            return fail("unexpected answer '" + std::string(1, code) + "' to '" +
                        std::string(1, command) + "'");
        }
        reply_.code = code;
        switch (code) {
            case SMFIR_CONTINUE:
                reply_.verdict = milter_verdict::proceed;
                break;
            case SMFIR_ACCEPT:
                reply_.verdict = milter_verdict::accept;
                break;
            case SMFIR_REJECT:
                reply_.verdict = milter_verdict::reject;
                break;
            case SMFIR_DISCARD:
                reply_.verdict = milter_verdict::discard;
                break;
            case SMFIR_SKIP:
                reply_.verdict = milter_verdict::skip;
                break;
            case SMFIR_REPLYCODE:
                while (!data.empty() && data.back() == '\0') {
                    data.remove_suffix(1);
                }
                reply_.text.assign(data);
                if (data.empty() || (data[0] != '4' && data[0] != '5')) {
                    return fail("reply code text without 4xx/5xx: " + reply_.text);
                }
                reply_.verdict = data[0] == '5' ? milter_verdict::reject : milter_verdict::tempfail;
                break;
            default:  // tempfail, shutdown, connection failure
                reply_.verdict = milter_verdict::tempfail;
                break;
        }
        return reply_;
    }
}

void milter_client::append_string(std::string_view text) {
    payload_.append(text);
    payload_.push_back('\0');
}

void milter_client::append_args(std::string_view first, std::span<const std::string_view> rest) {
    payload_.clear();
    append_string(first);
    for (const std::string_view arg : rest) {
        append_string(arg);
    }
}

bool milter_client::macros(char stage, std::span<const milter_macro> list) {
    payload_.clear();
    payload_.push_back(stage);
    for (const milter_macro& macro : list) {
        append_string(macro.name);
        append_string(macro.value);
    }
    if (!send_command(SMFIC_MACRO)) {
        fail(error_);
        return false;
    }
    return true;
}

const milter_reply& milter_client::connect(std::string_view host_name, char family,
                                           std::uint16_t port, std::string_view address) {
    payload_.clear();
    append_string(host_name);
    payload_.push_back(family);
    if (family != SMFIA_UNKNOWN) {
        const std::uint16_t be = htons(port);
        payload_.append(reinterpret_cast<const char*>(&be), sizeof be);
        append_string(address);
    }
    return exchange(SMFIC_CONNECT, mp::no_connect, mp::no_reply_connect);
}

const milter_reply& milter_client::helo(std::string_view name) {
    append_args(name, {});
    return exchange(SMFIC_HELO, mp::no_helo, mp::no_reply_helo);
}

const milter_reply& milter_client::mail(std::string_view sender,
                                        std::span<const std::string_view> args) {
    append_args(sender, args);
    return exchange(SMFIC_MAIL, mp::no_mail, mp::no_reply_mail);
}

const milter_reply& milter_client::rcpt(std::string_view recipient,
                                        std::span<const std::string_view> args) {
    append_args(recipient, args);
    return exchange(SMFIC_RCPT, mp::no_rcpt, mp::no_reply_rcpt);
}

const milter_reply& milter_client::data() {
    payload_.clear();
    return exchange(SMFIC_DATA, mp::no_data, mp::no_reply_data);
}

const milter_reply& milter_client::header(std::string_view name, std::string_view value) {
    payload_.clear();
    append_string(name);
    append_string(value);
    return exchange(SMFIC_HEADER, mp::no_headers, mp::no_reply_header);
}

const milter_reply& milter_client::eoh() {
    payload_.clear();
    return exchange(SMFIC_EOH, mp::no_eoh, mp::no_reply_eoh);
}

const milter_reply& milter_client::body(std::string_view chunk) {
    do {
        const std::string_view piece = chunk.substr(0, MILTER_CHUNK_SIZE);
        chunk.remove_prefix(piece.size());
        payload_.assign(piece);
        const milter_reply& answer = exchange(SMFIC_BODY, mp::no_body, mp::no_reply_body);
        if (answer.verdict != milter_verdict::proceed &&
            answer.verdict != milter_verdict::no_reply) {
            return answer;
        }
    } while (!chunk.empty());
    return reply_;
}

const milter_reply& milter_client::eom() {
    payload_.clear();
    return exchange(SMFIC_BODYEOB, 0, 0);
}

bool milter_client::abort() {
    payload_.clear();
    if (!send_command(SMFIC_ABORT)) {
        fail(error_);
        return false;
    }
    return true;
}

void milter_client::quit() {
    payload_.clear();
    if (fd_ >= 0) {
        send_command(SMFIC_QUIT);
    }
    close();
}

}  // namespace kelvantor::testing
