// A value that readers on any thread take whole and without a lock while a
// writer replaces it: each reader keeps the version it took for as long as
// it holds it.  For what a reload replaces (routes, exemptions).
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace kelvantor {

template <class T>
class snapshot {
public:
    snapshot() : current_(std::make_shared<const T>()) {}

    std::shared_ptr<const T> get() const noexcept { return current_.load(); }

    // Puts value in force; false when memory ran out (the old one stays).
    bool replace(T&& value) noexcept {
        try {
            current_.store(std::make_shared<const T>(std::move(value)));
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
            auto copy = std::make_shared<T>(*current_.load());
            if (!change(*copy)) return false;
            current_.store(std::move(copy));
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

private:
    std::atomic<std::shared_ptr<const T>> current_;
};

}  // namespace kelvantor
