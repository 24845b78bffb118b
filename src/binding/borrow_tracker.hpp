// The registry of array borrows that kiv installs when no other module has:
// its keys and rules, apart from how arrays map onto keys, so that it is
// plain C++ and can be tested natively.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <numeric>
#include <thread>
#include <vector>

namespace kiv {

// The memory an array can touch, and how its elements are spaced in it.
struct BorrowRegion {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t data;
    std::uintptr_t divisor;  // of the strides' magnitudes: their signs do not matter

    friend auto operator<=>(const BorrowRegion&, const BorrowRegion&) = default;
};

inline bool regions_conflict(const BorrowRegion& a, const BorrowRegion& b) {
    if (b.start >= a.end || a.start >= b.end) return false;
    const std::uintptr_t g = std::gcd(a.divisor, b.divisor);
    const std::uintptr_t d = a.data > b.data ? a.data - b.data : b.data - a.data;
    // Broadcast views (all strides 0) touch only their first element.
    if (g == 0) return d == 0;
    return d % g == 0;
}

// A region and the thread whose call holds it: a child of fork() has only
// the thread that forked, and the others' calls, with their borrows, are not
// there.
struct HeldRegion {
    BorrowRegion region;
    std::thread::id thread;

    friend auto operator<=>(const HeldRegion&, const HeldRegion&) = default;
};

// Results of the acquire operations: those of the shared record, and one of
// kiv's own for a registry that could not grow (other modules see an
// unexpected code rather than a process ended by std::terminate).
inline constexpr int kBorrowed = 0;
inline constexpr int kBorrowConflict = -1;
inline constexpr int kNotWriteable = -2;
inline constexpr int kRegistryOutOfMemory = -3;

// The borrows held, one entry per base, region and thread, in a flat list:
// a call holds two or three at a time and a process a few per thread, so a
// scan of the list costs less than any lookup structure's upkeep, and the
// list's room, once grown, serves every later borrow without allocating.
class BorrowTracker {
public:
    int acquire_shared(const void* base, const BorrowRegion& region) noexcept {
        const HeldRegion held{region, std::this_thread::get_id()};
        std::lock_guard lock(mutex_);
        Entry* same = nullptr;
        for (Entry& entry : entries_) {
            if (entry.base != base) continue;
            if (entry.count < 0 && (entry.held.region == region || regions_conflict(region, entry.held.region))) {
                return kBorrowConflict;
            }
            if (entry.held == held) same = &entry;
        }
        if (same != nullptr) {
            if (same->count == INT64_MAX) return kBorrowConflict;
            ++same->count;
            return kBorrowed;
        }
        return add(base, held, 1);
    }

    // The caller has checked that the array is writeable.
    int acquire_exclusive(const void* base, const BorrowRegion& region) noexcept {
        const HeldRegion held{region, std::this_thread::get_id()};
        std::lock_guard lock(mutex_);
        for (const Entry& entry : entries_) {
            if (entry.base == base &&
                (entry.held.region == region || regions_conflict(region, entry.held.region))) {
                return kBorrowConflict;
            }
        }
        return add(base, held, -1);
    }

    void release_shared(const void* base, const BorrowRegion& region) noexcept {
        std::lock_guard lock(mutex_);
        // a writable borrow is not released here
        const auto it = held_entry(base, region, [](std::int64_t count) { return count > 0; });
        if (it != entries_.end() && --it->count == 0) forget(it);
    }

    void release_exclusive(const void* base, const BorrowRegion& region) noexcept {
        std::lock_guard lock(mutex_);
        const auto it = held_entry(base, region, [](std::int64_t) { return true; });
        if (it != entries_.end()) forget(it);
    }

    // The count registered for a region, 0 for none.
    std::int64_t count(const void* base, const BorrowRegion& region) const {
        std::lock_guard lock(mutex_);
        std::int64_t total = 0;
        for (const Entry& entry : entries_) total += entry.base == base && entry.held.region == region ? entry.count : 0;
        return total;
    }
    // The bases with a borrow registered.
    std::size_t bases() const {
        std::lock_guard lock(mutex_);
        std::size_t distinct = 0;
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            distinct += std::none_of(entries_.begin(), it, [&](const Entry& e) { return e.base == it->base; });
        }
        return distinct;
    }

    // Around fork(): the lock held across it, so that the child's copy is not
    // held by a thread the child lacks; the child then forgets the borrows of
    // every thread but the one that forked.
    void before_fork() noexcept { mutex_.lock(); }
    void after_fork_in_parent() noexcept { mutex_.unlock(); }
    void after_fork_in_child() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        std::erase_if(entries_, [&](const Entry& entry) { return entry.held.thread != self; });
        mutex_.unlock();
    }

private:
    struct Entry {
        const void* base;
        HeldRegion held;
        std::int64_t count;  // of shared borrows; -1 for the writable one
    };
    using Entries = std::vector<Entry>;

    // The list is as it was when it cannot grow.
    int add(const void* base, const HeldRegion& held, std::int64_t count) noexcept {
        try {
            entries_.push_back({base, held, count});
            return kBorrowed;
        } catch (const std::bad_alloc&) {
            return kRegistryOutOfMemory;
        }
    }

    // The entry of a region that accepts its count: this thread's, else
    // another's (a borrow may be released by another thread than took it),
    // the lowest by region and thread, as an ordered map would find it.
    template <class Accepts>
    Entries::iterator held_entry(const void* base, const BorrowRegion& region, Accepts accepts) {
        const std::thread::id self = std::this_thread::get_id();
        auto found = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->base != base || it->held.region != region || !accepts(it->count)) continue;
            if (it->held.thread == self) return it;
            if (found == entries_.end() || it->held < found->held) found = it;
        }
        return found;
    }

    // A count never stays 0. Order does not matter: the last entry fills the gap.
    void forget(Entries::iterator entry) noexcept {
        *entry = entries_.back();
        entries_.pop_back();
    }

    mutable std::mutex mutex_;
    Entries entries_;
};

}  // namespace kiv
