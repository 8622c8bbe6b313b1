// The index behind the verdict cache.  Entries are hashed by their case-folded
// address; each table slot heads that address's chain of entries, oldest
// first, and every entry also stands in the FIFO queue of its lifetime class,
// from whose head expired entries are taken.  Addresses hold no NUL byte.
// Not thread-safe: the cache serialises every call under cache_lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvantor::cache_detail {

// One verdict, allocated with its NUL-terminated address right behind it.
struct verdict_entry {
    verdict_entry* chain_next;  // next entry for the same address, or none
    verdict_entry* chain_prev;  // previous one (the head's: the tail); none when unchained
    verdict_entry* queue_next;  // next entry of the same lifetime class, or of a list being freed
    std::uint64_t sequence;     // order of insertion across both classes
    std::int64_t stamp;         // whole seconds of the monotonic clock
    std::uint32_t hash;         // of the case-folded address
    std::uint32_t status;

    char* address() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* address() const noexcept { return reinterpret_cast<const char*>(this + 1); }
};

// Where entries and slot arrays come from: calloc, or a failing stand-in in tests.
extern void* (*cache_calloc)(std::size_t count, std::size_t size);

// A newly allocated entry for the address, or nullptr.
verdict_entry* new_entry(std::string_view address, std::uint32_t status, std::int64_t stamp,
                         std::uint32_t hash) noexcept;

// Frees a list of entries linked through queue_next.
void free_entries(verdict_entry* list) noexcept;

// A table slot: the head of one address's chain, with the hash and length of
// the address, so that a probe passes other addresses without reading them.
struct slot {
    verdict_entry* head;  // none: the slot is empty
    std::uint32_t hash;
    std::uint32_t length;
};

// A zeroed array of slots as the table wants it; capacity is a power of two.
struct slot_array {
    slot* slots = nullptr;
    std::size_t capacity = 0;
};
slot_array new_slot_array(std::size_t capacity) noexcept;
void free_slot_array(slot_array array) noexcept;

class verdict_store {
public:
    constexpr verdict_store() = default;
    verdict_store(const verdict_store&) = delete;
    verdict_store& operator=(const verdict_store&) = delete;
    // No destructor: the process-wide store is never torn down at exit, while
    // connection threads may still be using it.

    // Frees everything and starts empty with these lifetimes (seconds) and hash seed.
    void reset(std::int64_t valid_lifetime, std::int64_t invalid_lifetime,
               std::uint64_t seed) noexcept;

    // New lifetimes (a reload); entries are judged by them from now on.
    // Each is read and written whole, so readers need no lock for them.
    void set_lifetimes(std::int64_t valid_lifetime, std::int64_t invalid_lifetime) noexcept;

    // Hash of the case-folded address; needs no lock once reset has run.
    std::uint32_t hash(std::string_view address) const noexcept;

    // The capacity to which the table should grow before the next new address
    // is indexed, or shrink to once most of it has been left, or 0; may be
    // read without the lock, as a hint.
    std::size_t wanted_capacity() const noexcept {
        return wanted_capacity_.load(std::memory_order_relaxed);
    }

    // Moves the index into spare when it still wants another capacity and spare
    // holds the addresses neither crowded nor sparse; returns the array that is
    // no longer used, for the caller to free.
    slot_array offer_table(slot_array spare) noexcept;

    // Appends the entry (its address, hash, status and stamp filled) as the
    // newest; false when the table has no room left for a new address.
    bool insert(verdict_entry* entry) noexcept;

    // The status of the oldest live entry for the address; expired entries met
    // on the way leave the chain (they are freed through their queue).
    std::optional<std::uint32_t> find(std::string_view address, std::uint32_t hash,
                                      std::int64_t now) noexcept;

    // Detaches at most limit queue heads that have expired or left their
    // chain, and returns them linked through queue_next for the caller to free.
    verdict_entry* take_expired(std::int64_t now, std::size_t limit) noexcept;

    // Calls visit(context, status, address) for each live entry, oldest first,
    // until it returns false; false if it did.
    using visitor = bool (*)(void* context, std::uint32_t status, const char* address);
    bool walk_live(std::int64_t now, visitor visit, void* context) const noexcept;

    // The oldest live entry for the address (expired ones met on the way
    // leave the chain, as in find), or nullptr.
    const verdict_entry* find_entry(std::string_view address, std::uint32_t hash,
                                    std::int64_t now) noexcept;

    // Seconds the entry lives from its stamp.
    std::int64_t lifetime_of(const verdict_entry& entry) const noexcept;
    std::int64_t lifetime_of_status(std::uint32_t status) const noexcept;

    // Detaches the entry that makes room for a new one, for the caller to
    // free; nullptr when empty.  Anyone who sends mail can make invalid
    // verdicts, valid ones only the backend's users: so the oldest invalid
    // entry goes first, and the oldest of the other class only when no
    // invalid entry is left, or when it has expired or left its chain anyway.
    // live: it had neither expired nor left its chain.
    verdict_entry* take_for_eviction(std::int64_t now, bool& live) noexcept;

    // Takes every entry of the address out of its chain (they are freed from
    // their queues later); the number of live ones among them.
    std::size_t purge(std::string_view address, std::uint32_t hash, std::int64_t now) noexcept;

    // A place in the insertion order that survives the lock being given up
    // between chunks: entries leave a queue only at its head, so the next
    // entry is still there while the head's sequence is not past it.
    struct walk_cursor {
        verdict_entry* next[2] = {nullptr, nullptr};
        std::uint64_t next_sequence[2] = {0, 0};
        std::uint64_t end = 0;  // entries inserted since the walk began are left out
        bool started = false;
        bool done = false;
    };

    // Calls step(context, entry) for at most limit live entries from the
    // cursor on, oldest first; an entry for which it returns true leaves its
    // chain.  Sets cursor.done at the end of the entries there were when the
    // walk began.
    using chunk_step = bool (*)(void* context, const verdict_entry& entry);
    void walk_chunk(walk_cursor& cursor, std::int64_t now, std::size_t limit, chunk_step step,
                    void* context) noexcept;

    std::size_t entries() const noexcept { return entries_; }
    std::size_t entries_of_class(int lifetime_class) const noexcept {
        return class_entries_[lifetime_class];
    }
    std::size_t capacity() const noexcept { return table_.capacity; }

private:
    struct fifo {
        verdict_entry* head = nullptr;
        verdict_entry* tail = nullptr;
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    bool expired(const verdict_entry& entry, std::int64_t now) const noexcept;
    std::size_t slot_of(std::string_view address, std::uint32_t hash) const noexcept;
    void unchain(verdict_entry* entry, std::size_t at) noexcept;
    void remove_slot(std::size_t at) noexcept;
    void update_wanted_capacity() noexcept;
    verdict_entry* pop_head(int lifetime_class) noexcept;

    slot_array table_;
    std::size_t used_slots_ = 0;
    std::size_t entries_ = 0;
    std::uint64_t next_sequence_ = 0;
    std::uint64_t seed_ = 0;
    // By class: 0 valid and others, 1 invalid.
    std::atomic<std::int64_t> lifetime_[2] = {0, 0};
    fifo queue_[2];
    std::size_t class_entries_[2] = {0, 0};
    std::atomic<std::size_t> wanted_capacity_{0};
};

}  // namespace kelvantor::cache_detail
