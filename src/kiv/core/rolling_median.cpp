// A sliding median that updates per sample instead of sorting every window
// afresh: the window's values are counted per rank, and the median is found
// by a cursor that moves little between neighbouring windows (small integer
// ranges, the usual case) or by a Fenwick tree in O(log R) (any other).
#include "kiv/core/rolling_median.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "kiv/core/numeric.hpp"

namespace kiv {

namespace {

// Counts per rank and a cursor that walks to the k-th smallest. The median
// of neighbouring windows moves little, so a query costs a few steps; for
// a wide rank space a bad signal could make it walk far, so it is kept small.
class CursorCounts {
public:
    explicit CursorCounts(std::size_t size) : counts_(std::max<std::size_t>(size, 1), 0) {}

    void add(std::size_t rank, int delta) {
        counts_[rank] += delta;
        below_ += rank < cursor_ ? delta : 0;  // a select, not a branch: it is a coin toss
        total_ += delta;
    }
    std::size_t total() const noexcept { return static_cast<std::size_t>(total_); }

    std::size_t kth(std::size_t q) {
        const auto target = static_cast<std::int64_t>(q);
        while (below_ > target) below_ -= counts_[--cursor_];
        while (below_ + counts_[cursor_] <= target) below_ += counts_[cursor_++];
        return cursor_;
    }

private:
    std::vector<std::int64_t> counts_;
    std::size_t cursor_ = 0;
    std::int64_t below_ = 0;  // elements in ranks below the cursor
    std::int64_t total_ = 0;
};

// Counts per rank, with the k-th smallest found by binary lifting.
class RankCounts {
public:
    explicit RankCounts(std::size_t size)
        : tree_(size + 1, 0), top_(size == 0 ? 0 : std::bit_floor(size)) {}

    void add(std::size_t rank, int delta) {
        for (std::size_t i = rank + 1; i < tree_.size(); i += i & (~i + 1)) tree_[i] += delta;
        total_ += delta;
    }
    std::size_t total() const noexcept { return static_cast<std::size_t>(total_); }

    // The rank holding the element at sorted position q (< total()).
    std::size_t kth(std::size_t q) const {
        std::size_t pos = 0;
        auto left = static_cast<std::int64_t>(q);
        for (std::size_t step = top_; step != 0; step >>= 1) {
            const std::size_t next = pos + step;
            if (next < tree_.size() && tree_[next] <= left) {
                pos = next;
                left -= tree_[next];
            }
        }
        return pos;
    }

private:
    std::vector<std::int64_t> tree_;
    std::size_t top_;
    std::int64_t total_ = 0;
};

std::size_t clamp_bound(std::uint64_t bound, std::size_t n) {
    if (bound >> 63) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(bound, n));
}

// Moves the counted window along the samples' windows: end = i + (w - 1) / 2
// + 1 and start = end - w wrap modulo 2^64 and are then clamped into [0, n].
// change(k, +1 or -1) counts sample k in or out; median_byte(i) is called
// once the window of sample i is counted, and empty windows give 1.
template <class Change, class MedianByte>
void walk_windows(std::size_t n, std::uint64_t w, Change change, MedianByte median_byte, std::uint8_t* out) {
    const std::uint64_t half = (w - 1) / 2;
    std::size_t first = 0, last = 0;  // the window now counted
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t end = static_cast<std::uint64_t>(i) + half + 1;
        const std::size_t f = clamp_bound(end - w, n);
        const std::size_t l = clamp_bound(end, n);
        if (f >= l) {
            out[i] = window_byte(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        if (l <= first || f >= last) {
            while (first < last) change(first++, -1);
            first = last = f;
        }
        while (last < l) change(last++, +1);
        while (last > l) change(--last, -1);
        while (first < f) change(first++, -1);
        while (first > f) change(--first, +1);
        out[i] = median_byte();
    }
}

}  // namespace

void rolling_median_bytes_small(std::span<const std::uint16_t> ranks, std::int64_t base, std::size_t range,
                                std::uint64_t w, std::span<std::uint8_t> out) {
    CursorCounts counts(range);
    walk_windows(
        ranks.size(), w,
        [&](std::size_t i, int delta) {
            if (ranks[i] != kNoRank) counts.add(ranks[i], delta);
        },
        [&] {
            // Twice the median, exactly; its byte is trunc(twice / 2)
            // saturated into 0..255, then odd.
            const std::size_t k = counts.total();
            std::int64_t twice = 0;
            if (k != 0) {
                const std::int64_t below = base + static_cast<std::int64_t>(counts.kth((k - 1) / 2));
                twice = k % 2 == 1 ? 2 * below : below + base + static_cast<std::int64_t>(counts.kth(k / 2));
            }
            return static_cast<std::uint8_t>(std::min<std::int64_t>(twice > 0 ? twice >> 1 : 0, 255) | 1);
        },
        out.data());
}

void rolling_median_bytes_any(std::span<const double> raw, std::uint64_t w, std::span<std::uint8_t> out) {
    // Dense ranks through the sorted distinct values (-0.0 and +0.0 share one;
    // the sign of a zero median cannot change its byte).
    std::vector<double> distinct;
    for (const double v : raw)
        if (v == v) distinct.push_back(v);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    auto rank = [&](double v) {
        return static_cast<std::size_t>(std::lower_bound(distinct.begin(), distinct.end(), v) - distinct.begin());
    };
    RankCounts counts(distinct.size());
    walk_windows(
        raw.size(), w,
        [&](std::size_t i, int delta) {
            if (raw[i] == raw[i]) counts.add(rank(raw[i]), delta);
        },
        [&] {
            const std::size_t k = counts.total();
            double median = std::numeric_limits<double>::quiet_NaN();
            if (k % 2 == 1) {
                median = distinct[counts.kth(k / 2)];
            } else if (k != 0) {
                const double below = distinct[counts.kth(k / 2 - 1)];
                median = (below + distinct[counts.kth(k / 2)]) * 0.5;
            }
            return window_byte(median);
        },
        out.data());
}

}  // namespace kiv
