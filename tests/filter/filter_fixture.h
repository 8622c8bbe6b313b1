// Shared set-up for the callback tests: default settings, a fixed host name,
// the default exemptions, an empty cache, and helpers that build client
// addresses and drive one client connection through the fake smfi handle.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <syslog.h>

#include <cstring>
#include <memory>
#include <string>

#include "backend/closer.h"
#include "backend/conversation.h"
#include "cache/verdict_cache.h"
#include "common/settings.h"
#include "exemptions/exemptions.h"
#include "fakes/fake_smfi.h"
#include "filter/filter.h"
#include "routing/routes.h"
#include "support/log_capture.h"

namespace kelvantor::testing {

inline sockaddr_storage ipv4_address(const char* text, std::uint16_t port = 0) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    inet_pton(AF_INET, text, &in->sin_addr);
    return storage;
}

inline sockaddr_storage ipv6_address(const char* text) {
    sockaddr_storage storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &in6->sin6_addr);
    return storage;
}

inline sockaddr* as_sockaddr(sockaddr_storage& storage) {
    return reinterpret_cast<sockaddr*>(&storage);
}

class filter_test : public ::testing::Test {
protected:
    void SetUp() override {
        settings = settings_record{};
        std::strcpy(helo_name, "gw.test");
        route_list_clear();
        exemption_lists_clear();
        add_skip_defaults();
        ASSERT_EQ(verdict_cache_init(settings.valid_ttl, settings.invalid_ttl), 0);
        reset_slow_banner_allowance();
        logs.clear();
    }

    void TearDown() override {
        for (auto& conn : connections) {
            if (conn->priv != nullptr) cb_close(conn.get());
        }
        // The closer logs into this test's capture, not the next one's.
        EXPECT_TRUE(backend_closer().wait_idle(std::chrono::seconds(10)));
    }

    // A client connection from address, after cb_connect answered continue.
    fake_milter_ctx& connect_from(const char* address = "127.0.0.2") {
        auto& conn = *connections.emplace_back(std::make_unique<fake_milter_ctx>());
        sockaddr_storage client = ipv4_address(address);
        EXPECT_EQ(cb_connect(&conn, nullptr, as_sockaddr(client)), SMFIS_CONTINUE);
        return conn;
    }

    // One RCPT TO through cb_envrcpt.
    sfsistat rcpt(fake_milter_ctx& conn, const std::string& address) {
        conn.macros["{rcpt_addr}"] = address;
        return cb_envrcpt(&conn, nullptr);
    }

    static conn_ctx& context(fake_milter_ctx& conn) { return *static_cast<conn_ctx*>(conn.priv); }

    log_capture logs;
    std::vector<std::unique_ptr<fake_milter_ctx>> connections;
};

}  // namespace kelvantor::testing
