// A value that readers on any thread take whole while a writer replaces it:
// each reader keeps the version it took for as long as it holds it.  For what
// a reload replaces (routes, exemptions).  Taking a version is a short lock
// and a count; the version is freed by whoever lets go of it last.  (A plain
// count, not std::shared_ptr: the sanitizers' checks of shared_ptr's
// polymorphic counter cannot run in a process that has used up its
// descriptors, which the recipient path must survive.)
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <utility>

namespace kelvantor {

template <class T>
class snapshot {
    struct version {
        std::atomic<std::size_t> holders{1};
        T value;
    };

    static void let_go(version* held) noexcept {
        if (held != nullptr && held->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete held;
        }
    }

public:
    // One reader's hold on the version it took.
    class hold {
    public:
        hold(const hold&) = delete;
        hold& operator=(const hold&) = delete;
        hold(hold&& other) noexcept : held_(std::exchange(other.held_, nullptr)) {}
        hold& operator=(hold&&) = delete;
        ~hold() { let_go(held_); }
        const T& operator*() const noexcept { return held_->value; }
        const T* operator->() const noexcept { return &held_->value; }
        // The same version (not merely equal values).
        friend bool operator==(const hold& a, const hold& b) noexcept { return a.held_ == b.held_; }

    private:
        friend class snapshot;
        explicit hold(version* held) noexcept : held_(held) {}
        version* held_;
    };

    snapshot() : current_(new version) {}
    snapshot(const snapshot&) = delete;
    snapshot& operator=(const snapshot&) = delete;
    ~snapshot() { let_go(current_); }

    hold get() const noexcept {
        const std::lock_guard lock(mutex_);
        current_->holders.fetch_add(1, std::memory_order_relaxed);
        return hold(current_);
    }

    // Puts value in force; false when memory ran out (the old one stays).
    bool replace(T&& value) noexcept {
        try {
            install(new version{{1}, std::move(value)});
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    // A copy of the value in force, changed by change(T&) and put in force
    // when it returns true; false when it did not or memory ran out.  One
    // writer at a time.
    template <class Change>
    bool change(Change change) noexcept {
        try {
            T copy = *get();
            if (!change(copy)) return false;
            install(new version{{1}, std::move(copy)});
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

private:
    void install(version* fresh) noexcept {
        version* old = nullptr;
        {
            const std::lock_guard lock(mutex_);
            old = std::exchange(current_, fresh);
        }
        let_go(old);
    }

    mutable std::mutex mutex_;
    version* current_;
};

}  // namespace kelvantor
