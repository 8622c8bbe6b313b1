// fuzz_push_message: the reader of the fleet's push messages on anything a
// channel may carry.  A message it takes holds only what the format allows
// (a 16 hex digit gateway, a subject of printable characters without blank
// or angle bracket, within its length), and written out again it is the
// same text, read back the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shared/push_message.h"

using namespace kelvantor;

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto message = parse_push(text);
    if (!message) return 0;
    check(message->gateway.size() == gateway_id_length);
    check(message->subject.size() <= longest_push_domain);
    check(std::none_of(message->subject.begin(), message->subject.end(),
                       [](char c) { return c <= ' ' || c >= 127 || c == '<' || c == '>'; }));
    check(message->kind == push_kind::purge_invalid || !message->subject.empty());
    const std::string again = format_push(*message);
    check(again == text);
    const auto back = parse_push(again);
    check(back && back->kind == message->kind && back->learnt_unix == message->learnt_unix &&
          back->subject == message->subject && back->gateway == message->gateway);
    return 0;
}
