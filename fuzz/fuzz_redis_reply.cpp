// fuzz_redis_reply: the bounded Redis reply reader on what a hostile store
// may send.  The input's first byte picks the limits and the size of the
// chunks the rest is fed in; every reply taken must stay within the element
// budget and be whole (each announced element there), a refused feed or
// reply ends the input, and nothing is fed past the byte budget.  Each reply
// also goes through the readers of what a Sentinel sends: an address taken
// from one has a host and a port of 1 to 65535.
#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

#include "shared/redis_link.h"
#include "shared/sentinel.h"

using namespace kelvantor::shared_detail;

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

// The elements of the reply and all replies within it.
std::size_t elements_of(const redisReply& reply) {
    if (reply.type != REDIS_REPLY_ARRAY) return 0;
    std::size_t count = reply.elements;
    for (std::size_t i = 0; i < reply.elements; ++i) {
        check(reply.element[i] != nullptr);
        count += elements_of(*reply.element[i]);
    }
    return count;
}

void check_endpoint(const std::optional<redis_endpoint>& where) {
    if (where) check(!where->host.empty() && where->port >= 1 && where->port <= 65535);
}

struct reader_deleter {
    void operator()(redisReader* reader) const noexcept { redisReaderFree(reader); }
};

}  // namespace

// Input: one byte h (bits 0-1: element budget 0, 3, 1000 or 65536; bits
// 2-3: byte budget 16, 256, 4096 or 65536; bits 4-7: chunks of 1 to 16 *
// 16 bytes), then the bytes the store sends.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    constexpr std::size_t element_budgets[] = {0, 3, 1000, 65536};
    constexpr std::size_t byte_budgets[] = {16, 256, 4096, 65536};
    const reply_limits limits{.bytes = byte_budgets[(data[0] >> 2) & 3u],
                              .elements = element_budgets[data[0] & 3u]};
    const std::size_t chunk = (std::size_t{data[0]} >> 4) * 16 + 1;

    std::unique_ptr<redisReader, reader_deleter> hiredis(redisReaderCreate());
    check(hiredis != nullptr);
    bounded_reader reader;
    reader.attach(hiredis.get());
    reader.limit(limits);

    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    std::size_t left = size - 1;
    std::size_t fed = 0;
    std::size_t elements = 0;
    while (left > 0) {
        const std::size_t piece = left < chunk ? left : chunk;
        if (!reader.feed(bytes, piece)) {
            check(fed + piece > limits.bytes);
            check(!reader.error().empty());
            return 0;
        }
        fed += piece;
        check(fed <= limits.bytes && reader.bytes_left() == limits.bytes - fed);
        bytes += piece;
        left -= piece;
        for (;;) {
            redis_reply reply;
            if (!reader.next(reply)) {
                check(!reader.error().empty());
                return 0;
            }
            if (!reply) break;
            elements += elements_of(*reply);
            check(elements <= limits.elements);
            check_endpoint(parse_master_address(*reply));
            check_endpoint(parse_switch_master(*reply, "kv"));
            is_master_role(*reply);
        }
    }
    return 0;
}
