// The verdict index: an open-addressing table (linear probing, deletion by
// backward shift) of chain heads, one chain per case-folded address, and two
// FIFO queues, one per lifetime class, that give up their expired heads a few
// at a time so that expiry costs amortised constant time per operation.
#include "cache/verdict_store.h"

#include <cstdlib>
#include <cstring>

#include "cache/verdict_cache.h"

namespace kelvantor::cache_detail {
namespace {

// Case folding as strcasecmp does it in the C locale: ASCII letters only.
constexpr unsigned char fold(unsigned char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool equal_folded(const char* stored, std::string_view address) noexcept {
    for (std::size_t i = 0; i < address.size(); ++i) {
        const auto s = static_cast<unsigned char>(stored[i]);
        if (s == '\0' || fold(s) != fold(static_cast<unsigned char>(address[i]))) return false;
    }
    return stored[address.size()] == '\0';
}

constexpr std::uint64_t mix(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

std::string_view until_nul(std::string_view address) noexcept {
    const auto end = address.find('\0');
    return end == std::string_view::npos ? address : address.substr(0, end);
}

constexpr std::size_t initial_capacity = 16;

// The table grows once a new address would take it past three quarters full.
constexpr bool crowded(std::size_t used, std::size_t capacity) noexcept {
    return (used + 1) * 4 > capacity * 3;
}

int lifetime_class(std::uint32_t status) noexcept { return status == VERDICT_INVALID ? 1 : 0; }

}  // namespace

verdict_entry* new_entry(std::string_view address, std::uint32_t status, std::int64_t stamp,
                         std::uint32_t hash) noexcept {
    address = until_nul(address);
    auto* entry = static_cast<verdict_entry*>(std::malloc(sizeof(verdict_entry) + address.size() + 1));
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
    auto** slots = static_cast<verdict_entry**>(std::calloc(capacity, sizeof(verdict_entry*)));
    return slots != nullptr ? slot_array{slots, capacity} : slot_array{};
}

void free_slot_array(slot_array array) noexcept { std::free(array.slots); }

void verdict_store::reset(std::int64_t valid_lifetime, std::int64_t invalid_lifetime,
                          std::uint64_t seed) noexcept {
    for (auto& queue : queue_) {
        free_entries(queue.head);
        queue = fifo{};
    }
    free_slot_array(std::exchange(table_, slot_array{}));
    used_slots_ = 0;
    entries_ = 0;
    next_sequence_ = 0;
    seed_ = seed;
    lifetime_[0] = valid_lifetime;
    lifetime_[1] = invalid_lifetime;
    update_wanted_capacity();
}

std::uint32_t verdict_store::hash(std::string_view address) const noexcept {
    address = until_nul(address);
    std::uint64_t h = seed_ ^ (address.size() * 0x9e3779b97f4a7c15ULL);
    for (std::size_t at = 0; at < address.size(); at += 8) {
        unsigned char folded[8] = {};
        const std::size_t n = address.size() - at < 8 ? address.size() - at : 8;
        for (std::size_t i = 0; i < n; ++i) folded[i] = fold(static_cast<unsigned char>(address[at + i]));
        std::uint64_t word;
        std::memcpy(&word, folded, sizeof word);
        h = mix(h ^ word);
    }
    h = mix(h);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

bool verdict_store::expired(const verdict_entry& entry, std::int64_t now) const noexcept {
    return now - entry.stamp > lifetime_[lifetime_class(entry.status)];
}

std::size_t verdict_store::slot_of(std::string_view address, std::uint32_t hash) const noexcept {
    if (table_.capacity == 0) return npos;
    const std::size_t mask = table_.capacity - 1;
    // The table always keeps an empty slot, so the probe ends.
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const verdict_entry* head = table_.slots[i];
        if (head == nullptr) return npos;
        if (head->hash == hash && equal_folded(head->address(), address)) return i;
    }
}

void verdict_store::update_wanted_capacity() noexcept {
    std::size_t wanted = 0;
    if (table_.capacity == 0) {
        wanted = initial_capacity;
    } else if (crowded(used_slots_, table_.capacity)) {
        wanted = table_.capacity * 2;
    }
    wanted_capacity_.store(wanted, std::memory_order_relaxed);
}

slot_array verdict_store::offer_table(slot_array spare) noexcept {
    const std::size_t wanted = wanted_capacity();
    if (spare.slots == nullptr || wanted == 0 || spare.capacity < wanted) return spare;
    const std::size_t mask = spare.capacity - 1;
    for (std::size_t i = 0; i < table_.capacity; ++i) {
        verdict_entry* head = table_.slots[i];
        if (head == nullptr) continue;
        std::size_t j = head->hash & mask;
        while (spare.slots[j] != nullptr) j = (j + 1) & mask;
        spare.slots[j] = head;
    }
    const slot_array old = std::exchange(table_, spare);
    update_wanted_capacity();
    return old;
}

bool verdict_store::insert(verdict_entry* entry) noexcept {
    const std::string_view address = entry->address();
    const std::size_t slot = slot_of(address, entry->hash);
    entry->chain_next = nullptr;
    if (slot != npos) {
        verdict_entry* head = table_.slots[slot];
        verdict_entry* tail = head->chain_prev;
        tail->chain_next = entry;
        entry->chain_prev = tail;
        head->chain_prev = entry;
    } else {
        if (used_slots_ + 1 >= table_.capacity) return false;
        const std::size_t mask = table_.capacity - 1;
        std::size_t i = entry->hash & mask;
        while (table_.slots[i] != nullptr) i = (i + 1) & mask;
        table_.slots[i] = entry;
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
    return true;
}

void verdict_store::unchain(verdict_entry* entry, std::size_t slot) noexcept {
    verdict_entry* head = table_.slots[slot];
    verdict_entry* next = entry->chain_next;
    if (entry == head) {
        if (next != nullptr) {
            next->chain_prev = entry->chain_prev;
            table_.slots[slot] = next;
        } else {
            remove_slot(slot);
        }
    } else {
        entry->chain_prev->chain_next = next;
        (next != nullptr ? next : head)->chain_prev = entry->chain_prev;
    }
    entry->chain_next = nullptr;
    entry->chain_prev = nullptr;
}

void verdict_store::remove_slot(std::size_t slot) noexcept {
    const std::size_t mask = table_.capacity - 1;
    std::size_t hole = slot;
    // Moves back every later entry of the probe run that may not stay behind the hole.
    for (std::size_t j = (hole + 1) & mask; table_.slots[j] != nullptr; j = (j + 1) & mask) {
        const std::size_t home = table_.slots[j]->hash & mask;
        const bool home_after_hole = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (home_after_hole) continue;
        table_.slots[hole] = table_.slots[j];
        hole = j;
    }
    table_.slots[hole] = nullptr;
    --used_slots_;
    update_wanted_capacity();
}

std::optional<std::uint32_t> verdict_store::find(std::string_view address, std::uint32_t hash,
                                                 std::int64_t now) noexcept {
    address = until_nul(address);
    const std::size_t slot = slot_of(address, hash);
    if (slot == npos) return std::nullopt;
    verdict_entry* entry = table_.slots[slot];
    // Each entry leaves its chain at most once, so the walk is amortised constant.
    while (entry != nullptr) {
        verdict_entry* next = entry->chain_next;
        if (!expired(*entry, now)) return entry->status;
        const bool last_of_address = entry == table_.slots[slot] && next == nullptr;
        unchain(entry, slot);
        if (last_of_address) break;
        entry = next;
    }
    return std::nullopt;
}

verdict_entry* verdict_store::take_expired(std::int64_t now, std::size_t limit) noexcept {
    verdict_entry* taken = nullptr;
    for (fifo& queue : queue_) {
        while (limit > 0 && queue.head != nullptr &&
               (queue.head->chain_prev == nullptr || expired(*queue.head, now))) {
            verdict_entry* entry = queue.head;
            queue.head = entry->queue_next;
            if (queue.head == nullptr) queue.tail = nullptr;
            if (entry->chain_prev != nullptr) unchain(entry, slot_of(entry->address(), entry->hash));
            entry->queue_next = taken;
            taken = entry;
            --entries_;
            --limit;
        }
    }
    return taken;
}

bool verdict_store::walk_live(std::int64_t now, visitor visit, void* context) const noexcept {
    const verdict_entry* next[2] = {queue_[0].head, queue_[1].head};
    while (next[0] != nullptr || next[1] != nullptr) {
        const int from =
            next[1] == nullptr || (next[0] != nullptr && next[0]->sequence < next[1]->sequence) ? 0 : 1;
        const verdict_entry* entry = next[from];
        next[from] = entry->queue_next;
        if (entry->chain_prev == nullptr || expired(*entry, now)) continue;
        if (!visit(context, entry->status, entry->address())) return false;
    }
    return true;
}

}  // namespace kelvantor::cache_detail
