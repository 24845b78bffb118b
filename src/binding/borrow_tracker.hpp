// The registry of array borrows that kiv installs when no other module has:
// its keys and rules, apart from how arrays map onto keys, so that it is
// plain C++ and can be tested natively.
#pragma once

#include <algorithm>
#include <bit>
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

// The borrows held, one entry per base, region and thread, in short lists
// picked by the base: a call's lookups scan the few entries of its bases'
// list, however many borrows other modules hold (a reader of each of 10^5
// arrays, say). The lists' room, once grown, serves every later borrow
// without allocating.
class BorrowTracker {
public:
    int acquire_shared(const void* base, const BorrowRegion& region) noexcept {
        const HeldRegion held{region, std::this_thread::get_id()};
        std::lock_guard lock(mutex_);
        Entry* same = nullptr;
        if (Entries* list = list_of(base)) {
            for (Entry& entry : *list) {
                if (entry.base != base) continue;
                if (entry.count < 0 && (entry.held.region == region || regions_conflict(region, entry.held.region))) {
                    return kBorrowConflict;
                }
                if (entry.held == held) same = &entry;
            }
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
        if (const Entries* list = list_of(base)) {
            for (const Entry& entry : *list) {
                if (entry.base == base &&
                    (entry.held.region == region || regions_conflict(region, entry.held.region))) {
                    return kBorrowConflict;
                }
            }
        }
        return add(base, held, -1);
    }

    void release_shared(const void* base, const BorrowRegion& region) noexcept {
        std::lock_guard lock(mutex_);
        // a writable borrow is not released here
        Entry* entry = held_entry(base, region, [](std::int64_t count) { return count > 0; });
        if (entry != nullptr && --entry->count == 0) forget(base, entry);
    }

    void release_exclusive(const void* base, const BorrowRegion& region) noexcept {
        std::lock_guard lock(mutex_);
        Entry* entry = held_entry(base, region, [](std::int64_t) { return true; });
        if (entry != nullptr) forget(base, entry);
    }

    // The count registered for a region, 0 for none.
    std::int64_t count(const void* base, const BorrowRegion& region) const {
        std::lock_guard lock(mutex_);
        std::int64_t total = 0;
        if (const Entries* list = list_of(base)) {
            for (const Entry& entry : *list) {
                total += entry.base == base && entry.held.region == region ? entry.count : 0;
            }
        }
        return total;
    }
    // The bases with a borrow registered (each base's entries share a list).
    std::size_t bases() const {
        std::lock_guard lock(mutex_);
        std::size_t distinct = 0;
        for (const Entries& list : lists_) {
            for (auto it = list.begin(); it != list.end(); ++it) {
                distinct += std::none_of(list.begin(), it, [&](const Entry& e) { return e.base == it->base; });
            }
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
        for (Entries& list : lists_) {
            entries_ -= std::erase_if(list, [&](const Entry& entry) { return entry.held.thread != self; });
        }
        mutex_.unlock();
    }

private:
    struct Entry {
        const void* base;
        HeldRegion held;
        std::int64_t count;  // of shared borrows; -1 for the writable one
    };
    using Entries = std::vector<Entry>;

    static constexpr std::size_t kFirstLists = 8;

    // Fibonacci hashing: bases are aligned, their low bits all alike.
    static std::size_t pick(const void* base, int shift) noexcept {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(base) * 0x9E3779B97F4A7C15ULL) >> shift);
    }
    Entries* list_of(const void* base) noexcept { return lists_.empty() ? nullptr : &lists_[pick(base, shift_)]; }
    const Entries* list_of(const void* base) const noexcept {
        return lists_.empty() ? nullptr : &lists_[pick(base, shift_)];
    }

    // Twice as many lists once they hold two entries each on average; left as
    // they are when the new ones cannot be had (longer scans, still right).
    void spread() noexcept {
        try {
            const std::size_t count = lists_.empty() ? kFirstLists : 2 * lists_.size();
            const int shift = 64 - std::countr_zero(count);
            std::vector<Entries> spread(count);
            for (const Entries& list : lists_) {
                for (const Entry& entry : list) spread[pick(entry.base, shift)].push_back(entry);
            }
            lists_.swap(spread);
            shift_ = shift;
        } catch (const std::bad_alloc&) {
        }
    }

    // The tracker is as it was when it cannot grow.
    int add(const void* base, const HeldRegion& held, std::int64_t count) noexcept {
        if (entries_ >= 2 * lists_.size()) spread();
        if (lists_.empty()) return kRegistryOutOfMemory;
        try {
            lists_[pick(base, shift_)].push_back({base, held, count});
        } catch (const std::bad_alloc&) {
            return kRegistryOutOfMemory;
        }
        ++entries_;
        return kBorrowed;
    }

    // The entry of a region that accepts its count: this thread's, else
    // another's (a borrow may be released by another thread than took it),
    // the lowest by region and thread, as an ordered map would find it.
    template <class Accepts>
    Entry* held_entry(const void* base, const BorrowRegion& region, Accepts accepts) {
        Entries* list = list_of(base);
        if (list == nullptr) return nullptr;
        const std::thread::id self = std::this_thread::get_id();
        Entry* found = nullptr;
        for (Entry& entry : *list) {
            if (entry.base != base || entry.held.region != region || !accepts(entry.count)) continue;
            if (entry.held.thread == self) return &entry;
            if (found == nullptr || entry.held < found->held) found = &entry;
        }
        return found;
    }

    // A count never stays 0. Order does not matter: the list's last entry fills the gap.
    void forget(const void* base, Entry* entry) noexcept {
        Entries& list = *list_of(base);
        *entry = list.back();
        list.pop_back();
        --entries_;
    }

    mutable std::mutex mutex_;
    std::vector<Entries> lists_;
    int shift_ = 64;
    std::size_t entries_ = 0;
};

}  // namespace kiv
