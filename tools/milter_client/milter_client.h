// The MTA side of the milter protocol (version 6), for end-to-end tests and the
// load-generating benchmark: one milter_client drives one filter connection
// synchronously.  It negotiates, then sends each stage unless the filter turned
// it off, and reads the filter's answer (reply text included) into a reply
// that the client owns and reuses, so a steady session allocates nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvantor::testing {

// Protocol option bits (SMFIP_*) and action bits (SMFIF_*) as on the wire.
namespace milter_protocol {
inline constexpr std::uint32_t version = 6;
inline constexpr std::uint32_t no_connect = 0x00000001;
inline constexpr std::uint32_t no_helo = 0x00000002;
inline constexpr std::uint32_t no_mail = 0x00000004;
inline constexpr std::uint32_t no_rcpt = 0x00000008;
inline constexpr std::uint32_t no_body = 0x00000010;
inline constexpr std::uint32_t no_headers = 0x00000020;
inline constexpr std::uint32_t no_eoh = 0x00000040;
inline constexpr std::uint32_t no_reply_header = 0x00000080;
inline constexpr std::uint32_t no_unknown = 0x00000100;
inline constexpr std::uint32_t no_data = 0x00000200;
inline constexpr std::uint32_t skip = 0x00000400;
inline constexpr std::uint32_t rcpt_rejected = 0x00000800;
inline constexpr std::uint32_t no_reply_connect = 0x00001000;
inline constexpr std::uint32_t no_reply_helo = 0x00002000;
inline constexpr std::uint32_t no_reply_mail = 0x00004000;
inline constexpr std::uint32_t no_reply_rcpt = 0x00008000;
inline constexpr std::uint32_t no_reply_data = 0x00010000;
inline constexpr std::uint32_t no_reply_unknown = 0x00020000;
inline constexpr std::uint32_t no_reply_eoh = 0x00040000;
inline constexpr std::uint32_t no_reply_body = 0x00080000;
inline constexpr std::uint32_t header_leading_space = 0x00100000;
// Every option bit of protocol version 6: what a client offers by default.
inline constexpr std::uint32_t all_options = 0x001FFFFF;
// Every action of protocol version 6 (SMFIF_ADDHDRS ... SMFIF_SETSYMLIST).
inline constexpr std::uint32_t all_actions = 0x000001FF;
}  // namespace milter_protocol

// The stages of a transaction, in the order an MTA reaches them.
enum class milter_stage { connect, helo, mail, rcpt, data, header, eoh, body, eom, unknown };

// What the filter answered to one command.
enum class milter_verdict {
    proceed,    // SMFIR_CONTINUE
    accept,     // SMFIR_ACCEPT
    reject,     // SMFIR_REJECT, or SMFIR_REPLYCODE with a 5xx text
    tempfail,   // SMFIR_TEMPFAIL, SMFIR_REPLYCODE with a 4xx text, SMFIR_SHUTDOWN, SMFIR_CONN_FAIL
    discard,    // SMFIR_DISCARD
    skip,       // SMFIR_SKIP (rest of the body not wanted)
    stage_off,  // not sent: the filter turned the stage off at negotiation
    no_reply,   // sent; the filter asked for no reply to this stage
    failed,     // I/O or protocol error; see milter_client::error()
};

// "continue", "accept", "reject", "tempfail", "discard", "skip", "off", "noreply", "error".
std::string_view verdict_name(milter_verdict verdict);

// A change the filter asked for at end of message (SMFIR_ADDHEADER, ...): the
// response code and its raw data (NUL-separated fields).
struct milter_modification {
    char code = 0;
    std::string data;
};

struct milter_reply {
    milter_verdict verdict = milter_verdict::failed;
    char code = 0;     // the SMFIR_* response byte; 0 when nothing was read
    std::string text;  // SMFIR_REPLYCODE text, e.g. "550 5.1.1  User unknown"; else empty
    std::vector<milter_modification> modifications;  // end of message only
};

struct milter_macro {
    std::string_view name;  // e.g. "{daemon_name}"
    std::string_view value;
};

struct milter_client_options {
    std::chrono::milliseconds io_timeout{10000};            // per read or write of one command
    std::uint32_t actions = milter_protocol::all_actions;   // offered to the filter
    std::uint32_t protocol = milter_protocol::all_options;  // offered to the filter
};

class milter_client {
public:
    milter_client() = default;
    ~milter_client();
    milter_client(const milter_client&) = delete;
    milter_client& operator=(const milter_client&) = delete;
    milter_client(milter_client&& other) noexcept;
    milter_client& operator=(milter_client&& other) noexcept;

    // Connects to "inet:PORT@HOST", "inet6:PORT@HOST", "unix:PATH", "local:PATH"
    // or a bare path, and negotiates.  False (see error()) when either fails.
    bool open(std::string_view socket_spec, const milter_client_options& options = {});
    // Closes the socket without a word to the filter.
    void close() noexcept;
    bool is_open() const noexcept { return fd_ >= 0; }

    // What the filter returned at negotiation.
    std::uint32_t filter_version() const noexcept { return filter_version_; }
    std::uint32_t filter_actions() const noexcept { return filter_actions_; }
    std::uint32_t filter_protocol() const noexcept { return filter_protocol_; }
    // False when the filter turned the stage off; the stage is then not sent.
    bool stage_enabled(milter_stage stage) const noexcept;

    // SMFIC_MACRO for a stage: 'C' connect, 'H' helo, 'M' mail, 'R' rcpt,
    // 'T' data, 'L' header, 'N' eoh, 'E' eom.  The filter sends no answer.
    bool macros(char stage, std::span<const milter_macro> list);
    bool macros(char stage, std::initializer_list<milter_macro> list) {
        return macros(stage, std::span<const milter_macro>(list.begin(), list.size()));
    }

    // The stage commands.  Family is '4' (IPv4), '6' (IPv6), 'L' (unix) or
    // 'U' (unknown: port and address are not sent).  The returned reply lives
    // until the next call on this client.
    const milter_reply& connect(std::string_view host_name, char family, std::uint16_t port,
                                std::string_view address);
    const milter_reply& helo(std::string_view name);
    // The sender or recipient with its angle brackets, then ESMTP arguments.
    const milter_reply& mail(std::string_view sender, std::span<const std::string_view> args = {});
    const milter_reply& rcpt(std::string_view recipient,
                             std::span<const std::string_view> args = {});
    const milter_reply& data();
    const milter_reply& header(std::string_view name, std::string_view value);
    const milter_reply& eoh();
    const milter_reply& body(std::string_view chunk);  // split into 65535-byte pieces
    // End of message; collects the modifications the filter sends before its answer.
    const milter_reply& eom();
    // SMFIC_ABORT: ends the current message; no answer.
    bool abort();
    // SMFIC_QUIT: ends the session and closes the socket.  A new client
    // connection takes a new open(): SMFIC_QUIT_NC is not offered, as Debian's
    // libmilter 8.17 answers nothing after it.
    void quit();

    // Text of the last failure ("" after a success).
    const std::string& error() const noexcept { return error_; }
    const milter_reply& last_reply() const noexcept { return reply_; }

private:
    bool negotiate(const milter_client_options& options);
    bool send_command(char command);  // payload_ already filled
    bool write_all(const char* data, std::size_t length);
    bool read_packet(char& command, std::string_view& payload);
    bool fill(std::size_t wanted);
    const milter_reply& exchange(char command, std::uint32_t off_bit, std::uint32_t no_reply_bit);
    const milter_reply& fail(std::string message);
    const milter_reply& stage_off();
    void append_string(std::string_view text);
    void append_args(std::string_view first, std::span<const std::string_view> rest);

    int fd_ = -1;
    int timeout_ms_ = 10000;
    std::uint32_t filter_version_ = 0;
    std::uint32_t filter_actions_ = 0;
    std::uint32_t filter_protocol_ = 0;
    std::string payload_;  // the command being built (reused)
    std::string out_;      // length + command + payload (reused)
    std::string in_;       // read buffer; [in_pos_, in_len_) not yet parsed
    std::size_t in_pos_ = 0;
    std::size_t in_len_ = 0;
    milter_reply reply_;
    std::string error_;
};

}  // namespace kelvantor::testing
