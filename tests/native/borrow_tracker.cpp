// kiv's borrow registry when memory runs out: an acquire that cannot grow its
// maps answers kRegistryOutOfMemory (nothing may unwind into the modules that
// call it) and leaves the registry exactly as it was. Every allocation of a
// fixed sequence of borrows is made to fail in turn.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <new>
#include <vector>

#include "binding/borrow_tracker.hpp"

namespace {

std::atomic<long> allocations_left{-1};  // negative: no limit

}  // namespace

// The replacements pair malloc with free throughout; g++ 12 still reports
// their inlined pairs as mismatched.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (const long left = allocations_left.load(); left >= 0) {
        if (left == 0) throw std::bad_alloc();
        allocations_left.store(left - 1);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using kiv::BorrowRegion;
using kiv::BorrowTracker;

struct Step {
    bool exclusive;
    int base;  // index into the bases below
    BorrowRegion region;
};

// Two buffers; views of the first overlap, one of the second does not.
const int bases[2] = {};
constexpr BorrowRegion whole{0x1000, 0x1080, 0x1000, 8}, head{0x1000, 0x1040, 0x1000, 8},
    tail{0x1040, 0x1080, 0x1040, 8}, other{0x2000, 0x2010, 0x2000, 8};
const std::vector<Step> steps = {
    {false, 0, whole}, {false, 0, whole}, {false, 0, head}, {true, 0, tail}, {true, 1, other},
    {false, 1, other}, {false, 1, head},  {true, 0, other}, {false, 0, tail},
};

// Bases borrowed by another module around the steps: enough that the
// registry spreads its borrows over more lists, during the steps too.
const int held_elsewhere[40] = {};
constexpr BorrowRegion elsewhere{0x3000, 0x3008, 0x3000, 8};

int acquire(BorrowTracker& tracker, const Step& s) {
    return s.exclusive ? tracker.acquire_exclusive(&bases[s.base], s.region)
                       : tracker.acquire_shared(&bases[s.base], s.region);
}

// The steps' results, each failed allocation retried without a limit so that
// the rest of the sequence sees the same registry; then everything released.
// Twice: the second round reuses the nodes the first one released.
std::vector<int> run(long budget, int& failures) {
    BorrowTracker tracker;
    std::vector<int> results;
    results.reserve(2 * steps.size());  // only the registry's own allocations count
    allocations_left = budget;
    for (int round = 0; round < 2; ++round) {
        const std::size_t first = results.size();
        for (std::size_t k = 0; k < std::size(held_elsewhere); ++k) {
            const int result = tracker.acquire_shared(&held_elsewhere[k], elsewhere);
            if (result == kiv::kRegistryOutOfMemory) {
                const long left = allocations_left.exchange(-1);
                if (tracker.bases() != k || tracker.acquire_shared(&held_elsewhere[k], elsewhere) != kiv::kBorrowed) {
                    std::printf("budget %ld: a failed acquire elsewhere changed the registry\n", budget);
                    ++failures;
                }
                allocations_left = left;
            }
        }
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            if (i == steps.size() / 2) {  // some of them released while the steps hold theirs
                for (std::size_t k = 0; k < std::size(held_elsewhere); k += 2) {
                    tracker.release_shared(&held_elsewhere[k], elsewhere);
                }
            }
            const std::size_t bases_before = tracker.bases();
            const std::int64_t count_before = tracker.count(&bases[s.base], s.region);
            int result = acquire(tracker, s);
            if (result == kiv::kRegistryOutOfMemory) {
                const long left = allocations_left.exchange(-1);
                if (tracker.bases() != bases_before || tracker.count(&bases[s.base], s.region) != count_before) {
                    std::printf("budget %ld: a failed acquire changed the registry\n", budget);
                    ++failures;
                }
                result = acquire(tracker, s);
                allocations_left = left;
            }
            results.push_back(result);
        }
        for (std::size_t i = steps.size(); i-- > 0;) {
            if (results[first + i] != kiv::kBorrowed) continue;
            const Step& s = steps[i];
            if (s.exclusive) {
                tracker.release_exclusive(&bases[s.base], s.region);
            } else {
                tracker.release_shared(&bases[s.base], s.region);
            }
        }
        for (std::size_t k = 1; k < std::size(held_elsewhere); k += 2) {
            tracker.release_shared(&held_elsewhere[k], elsewhere);
        }
        if (tracker.bases() != 0) {
            std::printf("budget %ld: borrows left behind\n", budget);
            ++failures;
        }
    }
    allocations_left = -1;
    return results;
}

}  // namespace

int main() {
    int failures = 0;
    const std::vector<int> expected = run(-1, failures);
    if (expected != std::vector<int>{0, 0, 0, -1, 0, -1, 0, 0, 0, 0, 0, 0, -1, 0, -1, 0, 0, 0}) {
        std::printf("unexpected results without a limit\n");
        ++failures;
    }
    int budgets = 0;
    for (long budget = 0; budget < 200; ++budget, ++budgets) {
        if (run(budget, failures) != expected) {
            std::printf("budget %ld: results differ\n", budget);
            ++failures;
        }
    }
    std::printf("borrow tracker: %d allocation budgets, %d failed\n", budgets, failures);
    return failures == 0 ? 0 : 1;
}
