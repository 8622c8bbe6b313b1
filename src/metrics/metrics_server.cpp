// The metrics HTTP listener, through libmicrohttpd in internal thread mode.
#include "metrics/metrics_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/quiet_thread.h"
#include "metrics/metrics.h"

namespace kelvantor {
namespace {

constexpr const char* exposition_type = "text/plain; version=0.0.4; charset=utf-8";

MHD_Daemon* running = nullptr;

MHD_Result answer(MHD_Connection* connection, unsigned int status, std::string body,
                  const char* content_type) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result on_request(void* /*closure*/, MHD_Connection* connection, const char* url,
                      const char* method, const char* /*version*/, const char* /*upload_data*/,
                      std::size_t* /*upload_data_size*/, void** /*request_state*/) {
    try {
        if (std::strcmp(url, "/metrics") != 0) {
            return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
        }
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                          "text/plain");
        }
        return answer(connection, MHD_HTTP_OK, metrics_text(), exposition_type);
    } catch (...) {
        return MHD_NO;  // no memory: the connection is closed
    }
}

void describe(const sockaddr_storage& address, char (&text)[NI_MAXHOST + 8]) {
    char host[NI_MAXHOST] = "?";
    char port[8] = "?";
    const socklen_t length =
        address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, port,
                sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    std::snprintf(text, sizeof text, address.ss_family == AF_INET6 ? "[%s]:%s" : "%s:%s", host,
                  port);
}

}  // namespace

bool metrics_server_start(const sockaddr_storage& address) {
    char where[NI_MAXHOST + 8];
    describe(address, where);
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
    std::uint16_t port = 0;
    if (address.ss_family == AF_INET6) {
        flags |= MHD_USE_IPv6;
        port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    } else {
        port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    {
        // The listener thread takes no signal: SIGTERM and the like are
        // libmilter's signal thread's, and the default action would end the
        // process instead.
        const signals_blocked quiet;
        running = MHD_start_daemon(flags, port, nullptr, nullptr, on_request, nullptr,
                                   MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_TIMEOUT,
                                   10U, MHD_OPTION_CONNECTION_LIMIT, 16U, MHD_OPTION_END);
    }
    if (running == nullptr) {
        log_msg(LOG_ERR, "cannot listen for metrics on %s", where);
        return false;
    }
    log_msg(LOG_INFO, "metrics on http://%s/metrics", where);
    return true;
}

void metrics_server_stop() noexcept {
    if (running == nullptr) return;
    MHD_stop_daemon(running);
    running = nullptr;
}

}  // namespace kelvantor
