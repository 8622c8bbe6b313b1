// kv-milter-client: plays one scripted SMTP transaction against a milter, the
// way an MTA would, and prints one line per stage with the filter's answer and
// its reply text, e.g. "rcpt <x@example.test> reject 550 5.1.1  User unknown".
// Shell tests grep these lines.  Exit status: 0 when the transaction ran to its
// end (whatever the filter answered), 1 on an I/O or protocol error, 2 on usage.
#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "milter_client/milter_client.h"

namespace {

using kelvantor::testing::milter_client;
using kelvantor::testing::milter_macro;
using kelvantor::testing::milter_reply;
using kelvantor::testing::milter_stage;
using kelvantor::testing::milter_verdict;
namespace mp = kelvantor::testing::milter_protocol;

struct script {
    std::string socket;
    int timeout_s = 10;
    std::string client_name = "client.example";
    std::string client_addr = "127.0.0.2";
    int client_port = 40000;
    std::string helo = "client.example";
    bool has_from = false;
    std::string from;
    std::vector<std::string> rcpts;
    bool rcpt_macro = true;
    std::string wait_file;       // before every recipient after the first, wait for it to exist
    std::string data_wait_file;  // after DATA, wait for it to exist
    bool abort_message = false;
    bool probe = false;
    std::vector<std::string> headers;
    std::string body = "test\r\n";
    // Macros as (stage, name, value).
    std::vector<std::tuple<char, std::string, std::string>> macros;
};

// Waits until path exists, polling every 10 ms for at most seconds.
bool wait_for_file(const std::string& path, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (::access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A whole decimal number within [low, high], or -1.
int number(const std::string& text, long low, long high) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || value < low || value > high ? -1
                                                                       : static_cast<int>(value);
}

void usage(FILE* out) {
    std::fputs(
        "usage: kv-milter-client --socket inet:PORT@HOST|unix:PATH [options]\n"
        "  --probe               negotiate, print the filter's flags, quit\n"
        "  --timeout SECONDS     wait for each answer at most this long (10)\n"
        "  --client-addr ADDR    IPv4, IPv6 (has ':'), unix path ('/...') or 'unknown'\n"
        "  --client-name NAME    client host name (client.example)\n"
        "  --client-port N       client port (40000)\n"
        "  --daemon-name NAME    connect macro {daemon_name}\n"
        "  --macro S:NAME=VALUE  macro for stage S (C, H, M, R, T, L, N, E)\n"
        "  --helo NAME           HELO name (client.example)\n"
        "  --from ADDR           envelope sender; without it the session ends after HELO\n"
        "  --rcpt ADDR           envelope recipient, repeatable; sets {rcpt_addr} to ADDR\n"
        "  --no-rcpt-macro       do not send {rcpt_addr}\n"
        "  --wait-file PATH      before each recipient after the first, wait (up to\n"
        "                        the timeout) until PATH exists\n"
        "  --data-wait-file PATH after DATA, wait (up to the timeout) until PATH exists\n"
        "  --header 'N: V'       header, repeatable (default 'Subject: e2e')\n"
        "  --no-headers          a message without any header line\n"
        "  --body TEXT           body (a test line)\n"
        "  --no-body             a message without a body\n"
        "  --abort               abort the message after the recipients\n",
        out);
}

bool parse(int argc, char** argv, script& s) {
    enum : int {
        o_socket = 1000,
        o_timeout,
        o_client_addr,
        o_client_name,
        o_client_port,
        o_daemon,
        o_macro,
        o_helo,
        o_from,
        o_rcpt,
        o_no_rcpt_macro,
        o_wait_file,
        o_data_wait_file,
        o_header,
        o_no_headers,
        o_body,
        o_no_body,
        o_abort,
        o_probe,
        o_help
    };
    static const option options[] = {
        {"socket", required_argument, nullptr, o_socket},
        {"timeout", required_argument, nullptr, o_timeout},
        {"client-addr", required_argument, nullptr, o_client_addr},
        {"client-name", required_argument, nullptr, o_client_name},
        {"client-port", required_argument, nullptr, o_client_port},
        {"daemon-name", required_argument, nullptr, o_daemon},
        {"macro", required_argument, nullptr, o_macro},
        {"helo", required_argument, nullptr, o_helo},
        {"from", required_argument, nullptr, o_from},
        {"rcpt", required_argument, nullptr, o_rcpt},
        {"no-rcpt-macro", no_argument, nullptr, o_no_rcpt_macro},
        {"wait-file", required_argument, nullptr, o_wait_file},
        {"data-wait-file", required_argument, nullptr, o_data_wait_file},
        {"header", required_argument, nullptr, o_header},
        {"no-headers", no_argument, nullptr, o_no_headers},
        {"body", required_argument, nullptr, o_body},
        {"no-body", no_argument, nullptr, o_no_body},
        {"abort", no_argument, nullptr, o_abort},
        {"probe", no_argument, nullptr, o_probe},
        {"help", no_argument, nullptr, o_help},
        {nullptr, 0, nullptr, 0},
    };
    bool headers_given = false;
    for (;;) {
        const int c = getopt_long(argc, argv, "", options, nullptr);
        if (c == -1) {
            break;
        }
        const std::string arg = optarg != nullptr ? optarg : "";
        switch (c) {
            case o_socket:
                s.socket = arg;
                break;
            case o_timeout:
                s.timeout_s = number(arg, 1, 3600);
                break;
            case o_client_addr:
                s.client_addr = arg;
                break;
            case o_client_name:
                s.client_name = arg;
                break;
            case o_client_port:
                s.client_port = number(arg, 0, 65535);
                if (s.client_port < 0) {
                    return false;
                }
                break;
            case o_daemon:
                s.macros.emplace_back('C', "{daemon_name}", arg);
                break;
            case o_macro: {
                const auto eq = arg.find('=');
                if (arg.size() < 3 || arg[1] != ':' || eq == std::string::npos) {
                    std::fprintf(stderr, "bad --macro %s\n", arg.c_str());
                    return false;
                }
                s.macros.emplace_back(arg[0], arg.substr(2, eq - 2), arg.substr(eq + 1));
                break;
            }
            case o_helo:
                s.helo = arg;
                break;
            case o_from:
                s.has_from = true;
                s.from = arg;
                break;
            case o_rcpt:
                s.rcpts.push_back(arg);
                break;
            case o_no_rcpt_macro:
                s.rcpt_macro = false;
                break;
            case o_wait_file:
                s.wait_file = arg;
                break;
            case o_data_wait_file:
                s.data_wait_file = arg;
                break;
            case o_header:
                if (arg.find(':') == std::string::npos) {
                    std::fprintf(stderr, "bad --header %s\n", arg.c_str());
                    return false;
                }
                headers_given = true;
                s.headers.push_back(arg);
                break;
            case o_no_headers:
                headers_given = true;
                s.headers.clear();
                break;
            case o_body:
                s.body = arg;
                break;
            case o_no_body:
                s.body.clear();
                break;
            case o_abort:
                s.abort_message = true;
                break;
            case o_probe:
                s.probe = true;
                break;
            case o_help:
                usage(stdout);
                std::exit(0);
            default:
                return false;
        }
    }
    if (!headers_given) {
        s.headers.emplace_back("Subject: e2e");
    }
    if (s.socket.empty() || optind != argc || s.timeout_s <= 0) {
        return false;
    }
    return true;
}

// Prints "<stage>[ <argument>] <verdict>[ <reply text>]"; false on an error.
bool report(std::string_view stage, std::string_view argument, const milter_reply& reply,
            const milter_client& client) {
    std::string line(stage);
    if (!argument.empty()) {
        line.append(" ").append(argument);
    }
    line.append(" ").append(kelvantor::testing::verdict_name(reply.verdict));
    if (reply.verdict == milter_verdict::failed) {
        line.append(" ").append(client.error());
    } else if (!reply.text.empty()) {
        line.append(" ").append(reply.text);
    }
    std::printf("%s\n", line.c_str());
    for (const auto& change : reply.modifications) {
        std::string fields = change.data;
        while (!fields.empty() && fields.back() == '\0') {
            fields.pop_back();
        }
        for (char& ch : fields) {
            ch = ch == '\0' ? ' ' : ch;
        }
        std::printf("modify %c %s\n", change.code, fields.c_str());
    }
    std::fflush(stdout);
    return reply.verdict != milter_verdict::failed;
}

void send_macros(milter_client& client, const script& s, char stage,
                 std::vector<milter_macro>& extra) {
    for (const auto& [macro_stage, name, value] : s.macros) {
        if (macro_stage == stage) {
            extra.push_back({name, value});
        }
    }
    if (!extra.empty()) {
        client.macros(stage, extra);
    }
    extra.clear();
}

// True when the stage's answer ends the transaction (the MTA would stop).
bool ends_message(milter_verdict v) {
    return v == milter_verdict::reject || v == milter_verdict::tempfail ||
           v == milter_verdict::accept || v == milter_verdict::discard;
}

int run(const script& s) {
    milter_client client;
    kelvantor::testing::milter_client_options options;
    options.io_timeout = std::chrono::seconds(s.timeout_s);
    if (!client.open(s.socket, options)) {
        std::printf("negotiate error %s\n", client.error().c_str());
        return 1;
    }
    std::printf("negotiate version=%u actions=0x%08x protocol=0x%08x\n", client.filter_version(),
                client.filter_actions(), client.filter_protocol());
    if (s.probe) {
        client.quit();
        std::printf("quit\n");
        return 0;
    }
    std::vector<milter_macro> macros;

    // Connection stage.
    char family = '4';
    if (s.client_addr.empty() || s.client_addr == "unknown") {
        family = 'U';
    } else if (s.client_addr[0] == '/') {
        family = 'L';
    } else if (s.client_addr.find(':') != std::string::npos) {
        family = '6';
    }
    send_macros(client, s, 'C', macros);
    const milter_reply& conn = client.connect(
        s.client_name, family, static_cast<std::uint16_t>(s.client_port), s.client_addr);
    if (!report("connect", s.client_addr.empty() ? "unknown" : s.client_addr, conn, client)) {
        return 1;
    }
    if (conn.verdict == milter_verdict::proceed || conn.verdict == milter_verdict::no_reply ||
        conn.verdict == milter_verdict::stage_off) {
        send_macros(client, s, 'H', macros);
        if (!report("helo", s.helo, client.helo(s.helo), client)) {
            return 1;
        }
        if (s.has_from) {
            const std::string sender = "<" + s.from + ">";
            macros.push_back({"{mail_addr}", s.from});
            send_macros(client, s, 'M', macros);
            const milter_reply& mail = client.mail(sender);
            if (!report("mail", sender, mail, client)) {
                return 1;
            }
            bool message_open = !ends_message(mail.verdict);
            bool any_recipient = false;
            for (const std::string& r : s.rcpts) {
                if (!message_open) {
                    break;
                }
                if (&r != &s.rcpts.front() && !s.wait_file.empty() &&
                    !wait_for_file(s.wait_file, s.timeout_s)) {
                    std::fprintf(stderr, "no %s within %d s\n", s.wait_file.c_str(), s.timeout_s);
                    return 1;
                }
                const std::string recipient = "<" + r + ">";
                if (s.rcpt_macro) {
                    macros.push_back({"{rcpt_addr}", r});
                }
                send_macros(client, s, 'R', macros);
                const milter_reply& answer = client.rcpt(recipient);
                if (!report("rcpt", recipient, answer, client)) {
                    return 1;
                }
                if (answer.verdict == milter_verdict::accept ||
                    answer.verdict == milter_verdict::discard) {
                    message_open = false;  // the whole message is decided
                } else if (answer.verdict != milter_verdict::reject &&
                           answer.verdict != milter_verdict::tempfail) {
                    any_recipient = true;
                }
            }
            if (message_open && any_recipient && !s.abort_message) {
                send_macros(client, s, 'T', macros);
                const milter_reply& data = client.data();
                if (!report("data", "", data, client)) {
                    return 1;
                }
                message_open = !ends_message(data.verdict);
                if (!s.data_wait_file.empty() && !wait_for_file(s.data_wait_file, s.timeout_s)) {
                    std::fprintf(stderr, "no %s within %d s\n", s.data_wait_file.c_str(),
                                 s.timeout_s);
                    return 1;
                }
                const bool lead = (client.filter_protocol() & mp::header_leading_space) != 0;
                for (const std::string& h : s.headers) {
                    if (!message_open) {
                        break;
                    }
                    const auto colon = h.find(':');
                    std::string_view name(h.data(), colon);
                    std::string_view value(h);
                    value.remove_prefix(colon + 1);
                    while (!lead && !value.empty() && value.front() == ' ') {
                        value.remove_prefix(1);
                    }
                    send_macros(client, s, 'L', macros);
                    const milter_reply& answer = client.header(name, value);
                    if (!report("header", name, answer, client)) {
                        return 1;
                    }
                    message_open = !ends_message(answer.verdict);
                }
                if (message_open) {
                    send_macros(client, s, 'N', macros);
                    const milter_reply& answer = client.eoh();
                    if (!report("eoh", "", answer, client)) {
                        return 1;
                    }
                    message_open = !ends_message(answer.verdict);
                }
                if (message_open && !s.body.empty()) {
                    const milter_reply& answer = client.body(s.body);
                    if (!report("body", "", answer, client)) {
                        return 1;
                    }
                    message_open = !ends_message(answer.verdict);
                }
                if (message_open) {
                    send_macros(client, s, 'E', macros);
                    if (!report("eom", "", client.eom(), client)) {
                        return 1;
                    }
                    message_open = false;
                }
            }
            if (message_open) {
                if (!client.abort()) {
                    std::printf("abort error %s\n", client.error().c_str());
                    return 1;
                }
                std::printf("abort\n");
            }
        }
    }
    client.quit();
    std::printf("quit\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    script s;
    if (!parse(argc, argv, s)) {
        usage(stderr);
        return 2;
    }
    return run(s);
}
