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

// Dense ranks of the non-NaN values, ordered like the values (equal values,
// -0.0 and +0.0 among them, share a rank; the sign of a zero median cannot
// change its byte). Small integer ranges map directly, anything else through
// the sorted distinct values.
class RankSpace {
public:
    explicit RankSpace(std::span<const double> values) {
        // One pass, free of branches; NaN never wins a comparison.
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        bool fractional = false;
        for (const double v : values) {
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            fractional |= v == v && round_half_even(v) != v;
        }
        if (lo > hi) return;  // nothing but NaN
        constexpr double kExact = 0x1p52;
        constexpr double kMaxDirect = 1 << 16;
        if (!fractional && lo >= -kExact && hi <= kExact && hi - lo < kMaxDirect) {
            base_ = lo;
            size_ = static_cast<std::size_t>(hi - lo) + 1;
            return;
        }
        for (const double v : values)
            if (!std::isnan(v)) distinct_.push_back(v);
        std::sort(distinct_.begin(), distinct_.end());
        distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
        size_ = distinct_.size();
    }

    std::size_t size() const noexcept { return size_; }
    // Ranks are the values less the smallest, which is then an integer.
    bool direct() const noexcept { return distinct_.empty(); }
    double base() const noexcept { return base_; }

    std::size_t rank(double v) const {
        if (distinct_.empty()) return static_cast<std::size_t>(v - base_);
        return static_cast<std::size_t>(std::lower_bound(distinct_.begin(), distinct_.end(), v) -
                                        distinct_.begin());
    }
    double value(std::size_t r) const {
        return distinct_.empty() ? base_ + static_cast<double>(r) : distinct_[r];
    }

private:
    double base_ = 0.0;
    std::size_t size_ = 0;
    std::vector<double> distinct_;
};

// Counts per rank and a cursor that walks to the k-th smallest. The median
// of neighbouring windows moves little, so a query costs a few steps; for
// a wide rank space a bad signal could make it walk far, so it is kept small.
class CursorCounts {
public:
    static constexpr std::size_t kMaxRanks = 2048;

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

template <class Counts>
void slide(std::span<const double> raw, std::uint64_t w, const RankSpace& ranks, Counts& counts,
           std::span<std::uint8_t> out) {
    const std::size_t n = raw.size();
    auto change = [&](std::size_t i, int delta) {
        if (!std::isnan(raw[i])) counts.add(ranks.rank(raw[i]), delta);
    };
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

        const std::size_t k = counts.total();
        double median = std::numeric_limits<double>::quiet_NaN();
        if (k % 2 == 1) {
            median = ranks.value(counts.kth(k / 2));
        } else if (k != 0) {
            const double below = ranks.value(counts.kth(k / 2 - 1));
            median = (below + ranks.value(counts.kth(k / 2))) * 0.5;
        }
        out[i] = window_byte(median);
    }
}

// The common case (raw windows are small integers, plus NaN) in integers:
// ranks are 16-bit, and the byte comes from twice the median, exactly.
void slide_small_integers(std::span<const double> raw, std::uint64_t w, const RankSpace& ranks,
                          std::span<std::uint8_t> out) {
    constexpr std::uint16_t kNaN = 0xFFFF;
    const std::size_t n = raw.size();
    std::vector<std::uint16_t> rank(n);
    for (std::size_t i = 0; i < n; ++i)
        rank[i] = std::isnan(raw[i]) ? kNaN : static_cast<std::uint16_t>(raw[i] - ranks.base());
    const auto base = static_cast<std::int64_t>(ranks.base());
    CursorCounts counts(ranks.size());
    auto change = [&](std::size_t i, int delta) {
        if (rank[i] != kNaN) counts.add(rank[i], delta);
    };

    const std::uint64_t half = (w - 1) / 2;
    std::size_t first = 0, last = 0;  // the window now counted
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t end = static_cast<std::uint64_t>(i) + half + 1;
        const std::size_t f = clamp_bound(end - w, n);
        const std::size_t l = clamp_bound(end, n);
        std::int64_t twice = 0;  // twice the median; NaN's byte is that of 0
        if (f < l) {
            if (l <= first || f >= last) {
                while (first < last) change(first++, -1);
                first = last = f;
            }
            while (last < l) change(last++, +1);
            while (last > l) change(--last, -1);
            while (first < f) change(first++, -1);
            while (first > f) change(--first, +1);
            const std::size_t k = counts.total();
            if (k != 0) {
                const std::int64_t below = base + static_cast<std::int64_t>(counts.kth((k - 1) / 2));
                twice = k % 2 == 1 ? 2 * below : below + base + static_cast<std::int64_t>(counts.kth(k / 2));
            }
        }
        // trunc(twice / 2) saturated into 0..255, then odd
        out[i] = static_cast<std::uint8_t>(std::min<std::int64_t>(twice > 0 ? twice >> 1 : 0, 255) | 1);
    }
}

}  // namespace

void rolling_median_bytes(std::span<const double> raw, std::uint64_t w, std::span<std::uint8_t> out) {
    const RankSpace ranks(raw);
    if (ranks.direct() && ranks.size() <= CursorCounts::kMaxRanks) {
        slide_small_integers(raw, w, ranks, out);
    } else {
        RankCounts counts(ranks.size());
        slide(raw, w, ranks, counts, out);
    }
}

}  // namespace kiv
