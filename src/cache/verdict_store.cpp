// The verdict index: an open-addressing table (linear probing, deletion by
// backward shift) of chain heads, one chain per case-folded address, and two
// FIFO queues, one per lifetime class, that give up their expired heads a few
// at a time so that expiry costs amortised constant time per operation.
#include "cache/verdict_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cache/verdict_cache.h"

namespace kelvantor::cache_detail {
namespace {

// Case folding as strcasecmp does it in the C locale, ASCII capitals only,
// done on eight bytes at once: a byte is a capital when its low seven bits
// are within 'A'..'Z' and its top bit is clear; the sums cannot carry.
constexpr std::uint64_t fold_word(std::uint64_t x) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t tops = ones * 0x80;
    const std::uint64_t low = x & ~tops;
    const std::uint64_t from_a = low + ones * (0x80 - 'A');
    const std::uint64_t past_z = low + ones * (0x80 - 'Z' - 1);
    const std::uint64_t capitals = from_a & ~past_z & ~x & tops;
    return x | (capitals >> 2);  // 0x80 >> 2 is the 0x20 between 'A' and 'a'
}

// The eight bytes of text from at, fewer at its end (zero-filled).
std::uint64_t word_at(const char* text, std::size_t at, std::size_t size) noexcept {
    std::uint64_t word = 0;
    if (size - at >= sizeof word) {
        std::memcpy(&word, text + at, sizeof word);
    } else {
        std::memcpy(&word, text + at, size - at);
    }
    return word;
}

// Both of the address's length.
bool equal_folded(const char* stored, std::string_view address) noexcept {
    for (std::size_t at = 0; at < address.size(); at += 8) {
        if (fold_word(word_at(stored, at, address.size())) !=
            fold_word(word_at(address.data(), at, address.size()))) {
            return false;
        }
    }
    return true;
}

constexpr std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

constexpr std::size_t initial_capacity = 16;

// The table grows once a new address would take it past three quarters full.
constexpr bool crowded(std::size_t used, std::size_t capacity) noexcept {
    return (used + 1) * 4 > capacity * 3;
}

// It shrinks once fewer than an eighth of its slots are in use, back to a
// quarter full: both thresholds stay a doubling away from a rebuilt table, so
// each rebuild is paid for by as many inserts or removals as it moves.
constexpr bool sparse(std::size_t used, std::size_t capacity) noexcept {
    return capacity > initial_capacity && used * 8 < capacity;
}

constexpr std::size_t rebuilt_capacity(std::size_t used) noexcept {
    return std::bit_ceil(std::max(used * 4, initial_capacity));
}

int lifetime_class(std::uint32_t status) noexcept {
    return status == VERDICT_INVALID ? 1 : 0;
}

}  // namespace

void* (*cache_calloc)(std::size_t, std::size_t) = std::calloc;

verdict_entry* new_entry(std::string_view address, std::uint32_t status, std::int64_t stamp,
                         std::uint32_t hash) noexcept {
    if (address.size() > UINT32_MAX) return nullptr;
    auto* entry =
        static_cast<verdict_entry*>(cache_calloc(1, sizeof(verdict_entry) + address.size() + 1));
    if (entry == nullptr) return nullptr;
    *entry = verdict_entry{nullptr, nullptr, nullptr, 0, stamp, hash, status};
    std::memcpy(entry->address(), address.data(), address.size());
    entry->address()[address.size()] = '\0';
    return entry;
}

void free_entries(verdict_entry* list) noexcept {
    while (list != nullptr) std::free(std::exchange(list, list->queue_next));
}

slot_array new_slot_array(std::size_t capacity) noexcept {
    auto* slots = static_cast<slot*>(cache_calloc(capacity, sizeof(slot)));
    if (slots == nullptr) return {};
    // Every probe lands on a random page of a big table; on huge pages most
    // of them are spared a TLB miss.  Only a hint, so its result is ignored.
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(slots);
    const std::uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (begin + capacity * sizeof(slot)) & ~(huge_page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first),  // NOLINT(performance-no-int-to-ptr)
                last - first, MADV_HUGEPAGE);
    }
    return {slots, capacity};
}

void free_slot_array(slot_array array) noexcept {
    std::free(array.slots);
}

void verdict_store::reset(std::int64_t valid_lifetime, std::int64_t invalid_lifetime,
                          std::uint64_t seed) noexcept {
    for (auto& queue : queue_) {
        free_entries(queue.head);
        queue = fifo{};
    }
    free_slot_array(std::exchange(table_, slot_array{}));
    used_slots_ = 0;
    entries_ = 0;
    class_entries_[0] = class_entries_[1] = 0;
    next_sequence_ = 0;
    seed_ = seed;
    set_lifetimes(valid_lifetime, invalid_lifetime);
    update_wanted_capacity();
}

void verdict_store::set_lifetimes(std::int64_t valid_lifetime,
                                  std::int64_t invalid_lifetime) noexcept {
    lifetime_[0].store(valid_lifetime, std::memory_order_relaxed);
    lifetime_[1].store(invalid_lifetime, std::memory_order_relaxed);
}

std::uint32_t verdict_store::hash(std::string_view address) const noexcept {
    std::uint64_t h = seed_ ^ (address.size() * 0x9e3779b97f4a7c15ULL);
    for (std::size_t at = 0; at < address.size(); at += 8) {
        h = (h ^ fold_word(word_at(address.data(), at, address.size()))) * 0x9e3779b97f4a7c15ULL;
        h ^= h >> 32;
    }
    h = mix(h);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

bool verdict_store::expired(const verdict_entry& entry, std::int64_t now) const noexcept {
    return now - entry.stamp >
           lifetime_[lifetime_class(entry.status)].load(std::memory_order_relaxed);
}

std::size_t verdict_store::slot_of(std::string_view address, std::uint32_t hash) const noexcept {
    if (table_.capacity == 0) return npos;
    const std::size_t mask = table_.capacity - 1;
    // The table always keeps an empty slot, so the probe ends.
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const slot& s = table_.slots[i];
        if (s.head == nullptr) return npos;
        if (s.hash == hash && s.length == address.size() &&
            equal_folded(s.head->address(), address)) {
            return i;
        }
    }
}

void verdict_store::update_wanted_capacity() noexcept {
    std::size_t wanted = 0;
    if (table_.capacity == 0) {
        wanted = initial_capacity;
    } else if (crowded(used_slots_, table_.capacity)) {
        wanted = table_.capacity * 2;
    } else if (sparse(used_slots_, table_.capacity)) {
        wanted = rebuilt_capacity(used_slots_);
    }
    wanted_capacity_.store(wanted, std::memory_order_relaxed);
}

slot_array verdict_store::offer_table(slot_array spare) noexcept {
    const std::size_t wanted = wanted_capacity();
    if (spare.slots == nullptr || wanted == 0 || crowded(used_slots_, spare.capacity) ||
        sparse(used_slots_, spare.capacity)) {
        return spare;
    }
    const std::size_t mask = spare.capacity - 1;
    for (std::size_t i = 0; i < table_.capacity; ++i) {
        const slot& s = table_.slots[i];
        if (s.head == nullptr) continue;
        std::size_t j = s.hash & mask;
        while (spare.slots[j].head != nullptr) j = (j + 1) & mask;
        spare.slots[j] = s;
    }
    const slot_array old = std::exchange(table_, spare);
    update_wanted_capacity();
    return old;
}

bool verdict_store::insert(verdict_entry* entry) noexcept {
    const std::string_view address = entry->address();
    const std::size_t at = slot_of(address, entry->hash);
    entry->chain_next = nullptr;
    if (at != npos) {
        verdict_entry* head = table_.slots[at].head;
        verdict_entry* tail = head->chain_prev;
        tail->chain_next = entry;
        entry->chain_prev = tail;
        head->chain_prev = entry;
    } else {
        if (used_slots_ + 1 >= table_.capacity) return false;
        const std::size_t mask = table_.capacity - 1;
        std::size_t i = entry->hash & mask;
        while (table_.slots[i].head != nullptr) i = (i + 1) & mask;
        table_.slots[i] = {entry, entry->hash, static_cast<std::uint32_t>(address.size())};
        entry->chain_prev = entry;
        ++used_slots_;
        update_wanted_capacity();
    }
    entry->sequence = next_sequence_++;
    entry->queue_next = nullptr;
    fifo& queue = queue_[lifetime_class(entry->status)];
    (queue.tail != nullptr ? queue.tail->queue_next : queue.head) = entry;
    queue.tail = entry;
    ++entries_;
    ++class_entries_[lifetime_class(entry->status)];
    return true;
}

void verdict_store::unchain(verdict_entry* entry, std::size_t at) noexcept {
    verdict_entry* head = table_.slots[at].head;
    verdict_entry* next = entry->chain_next;
    if (entry == head) {
        if (next != nullptr) {
            next->chain_prev = entry->chain_prev;
            table_.slots[at].head = next;
        } else {
            remove_slot(at);
        }
    } else {
        entry->chain_prev->chain_next = next;
        (next != nullptr ? next : head)->chain_prev = entry->chain_prev;
    }
    entry->chain_next = nullptr;
    entry->chain_prev = nullptr;
}

void verdict_store::remove_slot(std::size_t at) noexcept {
    const std::size_t mask = table_.capacity - 1;
    std::size_t hole = at;
    // Moves back every later entry of the probe run that may not stay behind the hole.
    for (std::size_t j = (hole + 1) & mask; table_.slots[j].head != nullptr; j = (j + 1) & mask) {
        const std::size_t home = table_.slots[j].hash & mask;
        const bool home_after_hole =
            hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (home_after_hole) continue;
        table_.slots[hole] = table_.slots[j];
        hole = j;
    }
    table_.slots[hole] = slot{};
    --used_slots_;
    update_wanted_capacity();
}

std::optional<std::uint32_t> verdict_store::find(std::string_view address, std::uint32_t hash,
                                                 std::int64_t now) noexcept {
    const std::size_t at = slot_of(address, hash);
    if (at == npos) return std::nullopt;
    verdict_entry* entry = table_.slots[at].head;
    // Each entry leaves its chain at most once, so the walk is amortised constant.
    while (entry != nullptr) {
        verdict_entry* next = entry->chain_next;
        if (!expired(*entry, now)) return entry->status;
        // Unchaining the last entry frees the slot, and the walk ends with it.
        unchain(entry, at);
        entry = next;
    }
    return std::nullopt;
}

verdict_entry* verdict_store::pop_head(int lifetime_class) noexcept {
    fifo& queue = queue_[lifetime_class];
    verdict_entry* entry = queue.head;
    queue.head = entry->queue_next;
    if (queue.head == nullptr) queue.tail = nullptr;
    if (entry->chain_prev != nullptr) unchain(entry, slot_of(entry->address(), entry->hash));
    entry->queue_next = nullptr;
    --entries_;
    --class_entries_[lifetime_class];
    return entry;
}

verdict_entry* verdict_store::take_expired(std::int64_t now, std::size_t limit) noexcept {
    verdict_entry* taken = nullptr;
    for (int c = 0; c < 2; ++c) {
        const fifo& queue = queue_[c];
        while (limit > 0 && queue.head != nullptr &&
               (queue.head->chain_prev == nullptr || expired(*queue.head, now))) {
            verdict_entry* entry = pop_head(c);
            entry->queue_next = taken;
            taken = entry;
            --limit;
        }
    }
    return taken;
}

verdict_entry* verdict_store::take_for_eviction(std::int64_t now, bool& live) noexcept {
    const verdict_entry* const valid_head = queue_[0].head;
    const bool valid_head_dead =
        valid_head != nullptr && (valid_head->chain_prev == nullptr || expired(*valid_head, now));
    int from = 1;
    if (valid_head_dead || queue_[1].head == nullptr) {
        if (valid_head == nullptr) return nullptr;
        from = 0;
    }
    live = queue_[from].head->chain_prev != nullptr && !expired(*queue_[from].head, now);
    return pop_head(from);
}

const verdict_entry* verdict_store::find_entry(std::string_view address, std::uint32_t hash,
                                               std::int64_t now) noexcept {
    if (!find(address, hash, now)) return nullptr;
    return table_.slots[slot_of(address, hash)].head;
}

std::int64_t verdict_store::lifetime_of(const verdict_entry& entry) const noexcept {
    return lifetime_of_status(entry.status);
}

std::int64_t verdict_store::lifetime_of_status(std::uint32_t status) const noexcept {
    return lifetime_[lifetime_class(status)].load(std::memory_order_relaxed);
}

std::size_t verdict_store::purge(std::string_view address, std::uint32_t hash,
                                 std::int64_t now) noexcept {
    const std::size_t at = slot_of(address, hash);
    if (at == npos) return 0;
    std::size_t live = 0;
    verdict_entry* entry = table_.slots[at].head;
    while (entry != nullptr) {
        verdict_entry* next = entry->chain_next;
        if (!expired(*entry, now)) ++live;
        entry->chain_next = nullptr;
        entry->chain_prev = nullptr;
        entry = next;
    }
    remove_slot(at);
    return live;
}

void verdict_store::walk_chunk(walk_cursor& cursor, std::int64_t now, std::size_t limit,
                               chunk_step step, void* context) noexcept {
    if (!cursor.started) {
        cursor.started = true;
        cursor.end = next_sequence_;
        for (int c = 0; c < 2; ++c) cursor.next[c] = queue_[c].head;
    } else {
        // A next entry that has left its queue took everything before it along:
        // the walk goes on at the head.
        for (int c = 0; c < 2; ++c) {
            if (cursor.next[c] == nullptr) continue;
            verdict_entry* head = queue_[c].head;
            if (head == nullptr || head->sequence > cursor.next_sequence[c]) cursor.next[c] = head;
        }
    }
    for (verdict_entry*& next : cursor.next) {
        if (next != nullptr && next->sequence >= cursor.end) next = nullptr;
    }
    while (limit > 0 && (cursor.next[0] != nullptr || cursor.next[1] != nullptr)) {
        verdict_entry* const* next = cursor.next;
        const int from =
            next[1] == nullptr || (next[0] != nullptr && next[0]->sequence < next[1]->sequence) ? 0
                                                                                                : 1;
        verdict_entry* entry = cursor.next[from];
        verdict_entry* after = entry->queue_next;
        cursor.next[from] = after != nullptr && after->sequence < cursor.end ? after : nullptr;
        --limit;
        if (entry->chain_prev == nullptr || expired(*entry, now)) continue;
        if (step(context, *entry)) unchain(entry, slot_of(entry->address(), entry->hash));
    }
    for (int c = 0; c < 2; ++c) {
        if (cursor.next[c] != nullptr) cursor.next_sequence[c] = cursor.next[c]->sequence;
    }
    cursor.done = cursor.next[0] == nullptr && cursor.next[1] == nullptr;
}

bool verdict_store::walk_live(std::int64_t now, visitor visit, void* context) const noexcept {
    const verdict_entry* next[2] = {queue_[0].head, queue_[1].head};
    while (next[0] != nullptr || next[1] != nullptr) {
        const int from =
            next[1] == nullptr || (next[0] != nullptr && next[0]->sequence < next[1]->sequence) ? 0
                                                                                                : 1;
        const verdict_entry* entry = next[from];
        next[from] = entry->queue_next;
        if (entry->chain_prev == nullptr || expired(*entry, now)) continue;
        if (!visit(context, entry->status, entry->address())) return false;
    }
    return true;
}

}  // namespace kelvantor::cache_detail
