// The registry of array borrows that kiv installs when no other module has:
// its keys and rules, apart from how arrays map onto keys, so that it is
// plain C++ and can be tested natively.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <thread>
#include <unordered_map>

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

class BorrowTracker {
public:
    int acquire_shared(const void* base, const BorrowRegion& region) noexcept {
        const HeldRegion held{region, std::this_thread::get_id()};
        std::lock_guard lock(mutex_);
        return or_out_of_memory([&] {
            const auto found = bases_.find(base);
            if (found == bases_.end()) return add_base(base, held, 1);
            Regions& regions = found->second;
            for (const auto& [other, count] : regions) {
                if (count < 0 && (other.region == region || regions_conflict(region, other.region))) {
                    return kBorrowConflict;
                }
            }
            if (auto it = regions.find(held); it != regions.end()) {
                if (it->second == INT64_MAX) return kBorrowConflict;
                ++it->second;
                return kBorrowed;
            }
            add_region(regions, held, 1);
            return kBorrowed;
        });
    }

    // The caller has checked that the array is writeable.
    int acquire_exclusive(const void* base, const BorrowRegion& region) noexcept {
        const HeldRegion held{region, std::this_thread::get_id()};
        std::lock_guard lock(mutex_);
        return or_out_of_memory([&] {
            const auto found = bases_.find(base);
            if (found == bases_.end()) return add_base(base, held, -1);
            Regions& regions = found->second;
            for (const auto& [other, count] : regions) {
                if (other.region == region || regions_conflict(region, other.region)) return kBorrowConflict;
            }
            add_region(regions, held, -1);
            return kBorrowed;
        });
    }

    void release_shared(const void* base, const BorrowRegion& region) noexcept {
        std::lock_guard lock(mutex_);
        const auto found = bases_.find(base);
        if (found == bases_.end()) return;
        // a writable borrow is not released here
        const auto it = held_entry(found->second, region, [](std::int64_t count) { return count > 0; });
        if (it != found->second.end() && --it->second == 0) forget(found, it);
    }

    void release_exclusive(const void* base, const BorrowRegion& region) noexcept {
        std::lock_guard lock(mutex_);
        const auto found = bases_.find(base);
        if (found == bases_.end()) return;
        const auto it = held_entry(found->second, region, [](std::int64_t) { return true; });
        if (it != found->second.end()) forget(found, it);
    }

    // The count registered for a region, 0 for none.
    std::int64_t count(const void* base, const BorrowRegion& region) const {
        std::lock_guard lock(mutex_);
        const auto found = bases_.find(base);
        if (found == bases_.end()) return 0;
        std::int64_t total = 0;
        for (const auto& [held, count] : found->second) total += held.region == region ? count : 0;
        return total;
    }
    std::size_t bases() const {
        std::lock_guard lock(mutex_);
        return bases_.size();
    }

    // Around fork(): the lock held across it, so that the child's copy is not
    // held by a thread the child lacks; the child then forgets the borrows of
    // every thread but the one that forked.
    void before_fork() noexcept { mutex_.lock(); }
    void after_fork_in_parent() noexcept { mutex_.unlock(); }
    void after_fork_in_child() noexcept {
        const std::thread::id self = std::this_thread::get_id();
        for (auto base = bases_.begin(); base != bases_.end();) {
            Regions& regions = base->second;
            for (auto it = regions.begin(); it != regions.end();) {
                it = it->first.thread == self ? std::next(it) : regions.erase(it);
            }
            base = regions.empty() ? bases_.erase(base) : std::next(base);
        }
        mutex_.unlock();
    }

private:
    using Regions = std::map<HeldRegion, std::int64_t>;
    using Bases = std::unordered_map<const void*, Regions>;

    // Every insertion above adds one element or nothing, so a failed
    // allocation leaves the maps as they were.
    template <class Body>
    static int or_out_of_memory(Body&& body) noexcept {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            return kRegistryOutOfMemory;
        }
    }

    // The nodes of forgotten borrows serve the next ones, so that a call's
    // borrows allocate nothing once the first calls have made their nodes.
    static constexpr std::size_t kSpareNodes = 8;
    template <class Node>
    struct Spares {
        std::array<Node, kSpareNodes> nodes;
        std::size_t count = 0;
        void keep(Node&& node) noexcept {
            if (count < kSpareNodes) nodes[count++] = std::move(node);
        }
        Node reuse() noexcept { return count == 0 ? Node() : std::move(nodes[--count]); }
    };

    // The entry of a region that accepts its count: this thread's, else
    // another's (a borrow may be released by another thread than took it).
    template <class Accepts>
    static Regions::iterator held_entry(Regions& regions, const BorrowRegion& region, Accepts accepts) {
        const auto own = regions.find({region, std::this_thread::get_id()});
        if (own != regions.end() && accepts(own->second)) return own;
        for (auto it = regions.begin(); it != regions.end(); ++it) {
            if (it->first.region == region && accepts(it->second)) return it;
        }
        return regions.end();
    }

    void add_region(Regions& regions, const HeldRegion& region, std::int64_t count) {
        Regions::node_type node = spare_regions_.reuse();
        if (node.empty()) {
            regions.emplace(region, count);
            return;
        }
        node.key() = region;
        node.mapped() = count;
        regions.insert(std::move(node));
    }

    int add_base(const void* base, const HeldRegion& region, std::int64_t count) {
        Bases::node_type node = spare_bases_.reuse();  // its map is empty
        if (node.empty()) {
            bases_.emplace(base, Regions{{region, count}});
            return kBorrowed;
        }
        node.key() = base;
        add_region(node.mapped(), region, count);
        bases_.insert(std::move(node));  // on failure the node, and its region, are freed
        return kBorrowed;
    }

    // A count never stays 0, and a base never keeps an empty map.
    void forget(Bases::iterator base, Regions::iterator region) {
        spare_regions_.keep(base->second.extract(region));
        if (base->second.empty()) spare_bases_.keep(bases_.extract(base));
    }

    mutable std::mutex mutex_;
    Bases bases_;
    Spares<Bases::node_type> spare_bases_;
    Spares<Regions::node_type> spare_regions_;
};

}  // namespace kiv
