// The fleet's push channel, receiving side: one thread per filter holds a
// subscription to its prefix's channel and puts what the other filters
// learnt into the in-process cache, with its age, and removes what they
// purged.  It never runs on a mail thread, takes the cache's lock once per
// message (a walk for a domain or invalid purge, a chunk at a time), and
// reads a bounded reply at a time, waking at least every 250 ms.  After a
// reconnect nothing is assumed about what was missed: the store stays the
// source.
#pragma once

#include <cstdint>
#include <string>

#include "metrics/metrics.h"
#include "shared/push_message.h"

namespace kelvantor {

// This process's gateway id, drawn once.
const std::string& push_gateway_id();

// Starts the subscriber thread on the running store configuration; false
// when it cannot.
bool push_subscriber_start();
// Stops it (within about 250 ms plus one connect) and waits for it.
void push_subscriber_stop();
// Has it drop its connection and subscribe again at once, to wherever links
// open to now and on the channel of the running prefix.
void push_subscriber_request_reconnect();

// Puts a message another filter pushed in force here: a verdict is adopted
// with its age unless it has expired or a live local verdict stands (the
// same one, or a different one not older than it); a purge removes from the
// cache and from the writer's queue.  A message of this process is own.
push_result apply_push(const push_message& message, std::int64_t now_unix);

}  // namespace kelvantor
