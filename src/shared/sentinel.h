// The Redis Sentinels that name the shared store's master: asking them in
// order (the writer, before it probes the store), and a watch thread that
// listens to one of them for +switch-master and points the store at the new
// master at once.  Connection threads never talk to a Sentinel.  What a
// Sentinel sends is read strictly and bounded in size.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shared/redis_link.h"
#include "shared/shared_store.h"

namespace kelvantor::shared_detail {

// The reply to SENTINEL get-master-addr-by-name: two strings, a host and a
// port; none for anything else (nil: the Sentinel knows no such master).
std::optional<redis_endpoint> parse_master_address(const redisReply& reply);

// A message of the +switch-master channel ("message", the channel, "NAME
// OLDHOST OLDPORT NEWHOST NEWPORT") about the master called name: the new
// master; none for anything else, also another master's switch.
std::optional<redis_endpoint> parse_switch_master(const redisReply& message, std::string_view name);

// ROLE's reply is a master's (its first element "master").
bool is_master_role(const redisReply& reply);

// Asks the Sentinels in order, each within the store's timeout, until one
// names the master: its numeric address; none when none did (error: why).
std::optional<redis_endpoint> ask_sentinels(const shared_store_config& config, std::string& error);

// Finds the master before a probe: without Sentinels the configured host
// resolved again, with them the one they name (point_at_master).
void locate_master(bool wake_writer);

// The watch thread, with Sentinels only.
bool start_sentinel_watch();
void stop_sentinel_watch();

}  // namespace kelvantor::shared_detail
