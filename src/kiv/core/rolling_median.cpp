// A sliding median that updates per sample instead of sorting every window
// afresh: the window's raw windows are counted per rank of a small scale,
// and the median is found by a cursor that moves little between
// neighbouring windows.
#include "kiv/core/rolling_median.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "kiv/core/kernels.hpp"
#include "kiv/core/numeric.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace {

// Counts per rank and a cursor at the rank of the last order statistic
// asked for. Between neighbouring windows that statistic moves by a few
// numbers, so the cursor passes a few ranks that hold numbers; the empty
// ranks between them, however many (a signal switching between calm and
// busy stretches puts consecutive medians far apart), are skipped a word of
// the bitmap of ranks in use at a time.
class RankCounts {
public:
    explicit RankCounts(std::size_t ranks) : counts_(ranks, 0), words_((ranks + 63) / 64, 0) {}

    void add(std::size_t rank) {
        ++counts_[rank];
        mark(rank);
        below_ += rank < cursor_;
        ++total_;
    }
    void remove(std::size_t rank) {
        --counts_[rank];
        mark(rank);
        below_ -= rank < cursor_;
        --total_;
    }
    std::size_t total() const noexcept { return total_; }

    // The rank of the element after the one that kth(q) just found: the
    // same rank or the next in use, without moving the cursor.
    std::size_t after_kth(std::size_t q) const {
        return below_ + counts_[cursor_] > q + 1 ? cursor_ : next(cursor_);
    }

    // The rank holding the element at sorted position q (< total()).
    std::size_t kth(std::size_t q) {
        while (below_ > q) {
            cursor_ = previous(cursor_);
            below_ -= counts_[cursor_];
        }
        while (below_ + counts_[cursor_] <= q) {
            below_ += counts_[cursor_];
            cursor_ = next(cursor_);
        }
        return cursor_;
    }

private:
    // Sets or clears the rank's bit by its count, without a branch: on
    // noisy signals whether a count goes to or from 0 is a coin toss.
    void mark(std::size_t rank) {
        std::uint64_t& word = words_[rank / 64];
        const std::uint64_t bit = std::uint64_t{1} << (rank % 64);
        word = (word & ~bit) | (bit & (0 - static_cast<std::uint64_t>(counts_[rank] != 0)));
    }
    // The nearest rank in use above r, or below it; the callers know there
    // is one.
    std::size_t next(std::size_t r) const {
        std::size_t word = r / 64;
        std::uint64_t rest = words_[word] & (~std::uint64_t{0} << (r % 64) << 1);
        while (rest == 0) rest = words_[++word];
        return word * 64 + static_cast<std::size_t>(std::countr_zero(rest));
    }
    std::size_t previous(std::size_t r) const {
        std::size_t word = r / 64;
        std::uint64_t rest = words_[word] & ((std::uint64_t{1} << (r % 64)) - 1);
        while (rest == 0) rest = words_[--word];
        return word * 64 + 63 - static_cast<std::size_t>(std::countl_zero(rest));
    }

    std::vector<std::size_t> counts_;
    std::vector<std::uint64_t> words_;  // bit r % 64 of word r / 64: rank r in use
    std::size_t cursor_ = 0;
    std::size_t below_ = 0;  // elements in ranks below the cursor
    std::size_t total_ = 0;
};

// The least (or, with Greater, the greatest) value of the samples counted
// in, which leave in the order they came: a monotone queue, O(1) amortised.
template <bool Greater>
class Extreme {
public:
    void add(std::size_t k, double value) {
        while (items_.size() > head_ && !outlasts(items_.back().second, value)) items_.pop_back();
        items_.emplace_back(k, value);
    }
    void remove(std::size_t k) {
        if (items_.size() == head_ || items_[head_].first != k) return;  // left already, outdone
        if (++head_ == items_.size()) {
            items_.clear();
            head_ = 0;
        } else if (head_ >= 1024 && 2 * head_ >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }
    double value() const noexcept { return items_[head_].second; }

private:
    // Whether an earlier value stays a candidate when `later` arrives.
    static bool outlasts(double earlier, double later) { return Greater ? earlier > later : earlier < later; }

    std::vector<std::pair<std::size_t, double>> items_;
    std::size_t head_ = 0;
};

std::size_t clamp_bound(std::uint64_t bound, std::size_t n) {
    if (bound >> 63) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(bound, n));
}

// Moves the counted window along the samples' windows: end = i + (w - 1) / 2
// + 1 and start = end - w wrap modulo 2^64 and are then clamped into [0, n].
// add(k) and remove(k) count sample k in or out, in the order the samples
// come; median_byte() is called once the window of sample i is counted.
template <class Add, class Remove, class MedianByte>
void walk_windows(std::size_t n, std::uint64_t w, Add add, Remove remove, MedianByte median_byte, std::uint8_t* out) {
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
        // Neither bound moves back while windows hold samples (once end
        // wraps, every window after it is empty); past the window (w = 1),
        // it is counted afresh.
        if (f >= last) {
            while (first < last) remove(first++);
            first = last = f;
        }
        while (last < l) add(last++);
        while (first < f) remove(first++);
        out[i] = median_byte();
    }
}

}  // namespace

RankScale rank_scale(double least, double most) {
    constexpr auto reach = static_cast<double>(thresholds::kExactReach);
    constexpr double kLowest = -reach, kHighest = 255.0 + reach;
    // Unknown ends (a NaN minimum window) leave raw windows of NaN and 0 only.
    least = least == least ? least : 0.0;
    most = most == most ? most : 0.0;
    // least <= 0 <= most, so that a collapsed side has low <= 2 or high >= 254.
    RankScale scale{};
    if (least >= kLowest) {
        scale.low = static_cast<std::int64_t>(least);
    } else {
        const double low = std::max(kLowest, 2.0 - most);
        scale.low = static_cast<std::int64_t>(low);
        scale.track_below = low > 2.0 - most;
    }
    if (most <= kHighest) {
        scale.high = static_cast<std::int64_t>(most);
    } else {
        const double high = std::min(kHighest, 509.0 - least);
        scale.high = static_cast<std::int64_t>(high);
        scale.track_above = high < 509.0 - least;
    }
    return scale;
}

bool sorted_median_applies(const RankScale& scale, std::uint64_t w) {
    return !scale.track_below && !scale.track_above && w >= 1 && w <= thresholds::kMedianWidthMaximum;
}

void rolling_median_bytes(std::span<const std::uint16_t> ranks, const RankScale& scale, const RawWindows& raw,
                          std::uint64_t w, std::span<std::uint8_t> out) {
    if (sorted_median_applies(scale, w)) {
        // Untracked sides stand for infinities, whose bytes these are.
        constexpr double kInf = std::numeric_limits<double>::infinity();
        const MedianScale vector_scale{scale.low, static_cast<std::uint16_t>(scale.top()), window_byte(-kInf),
                                       window_byte(kInf), window_byte(std::numeric_limits<double>::quiet_NaN())};
        kernels().median_bytes(ranks.data(), ranks.size(), static_cast<std::size_t>(w), vector_scale, out.data());
        return;
    }
    counted_median_bytes(ranks, scale, raw, w, out);
}

void counted_median_bytes(std::span<const std::uint16_t> ranks, const RankScale& scale, const RawWindows& raw,
                          std::uint64_t w, std::span<std::uint8_t> out) {
    const std::size_t top = scale.top();
    // Flags in locals: stores into the counts could otherwise alias them.
    const bool track_below = scale.track_below, track_above = scale.track_above;
    RankCounts counts(top + 1);
    Extreme<true> below;   // the greatest collapsed value under low, when tracked
    Extreme<false> above;  // the least one over high
    // A rank's value: exact inside the scale; a collapsed side's extreme
    // when tracked, else an infinity, which saturates as that side must.
    const auto value_of = [&](std::size_t rank) {
        constexpr double kInf = std::numeric_limits<double>::infinity();
        if (rank == 0) return track_below ? below.value() : -kInf;
        if (rank == top) return track_above ? above.value() : kInf;
        return static_cast<double>(scale.low - 1 + static_cast<std::int64_t>(rank));
    };
    walk_windows(
        ranks.size(), w,
        [&](std::size_t k) {
            const std::uint16_t rank = ranks[k];
            if (rank == kNoRank) return;
            counts.add(rank);
            if (rank == 0 && track_below) below.add(k, raw[k]);
            if (rank == top && track_above) above.add(k, raw[k]);
        },
        [&](std::size_t k) {
            const std::uint16_t rank = ranks[k];
            if (rank == kNoRank) return;
            counts.remove(rank);
            if (rank == 0 && track_below) below.remove(k);
            if (rank == top && track_above) above.remove(k);
        },
        [&] {
            const std::size_t k = counts.total();
            if (k == 0) return window_byte(std::numeric_limits<double>::quiet_NaN());
            const std::size_t first = counts.kth((k - 1) / 2);
            const std::size_t second = k % 2 == 1 ? first : counts.after_kth((k - 1) / 2);
            if (first != 0 && second != top) {
                // Twice the median, exactly; its byte is trunc(twice / 2)
                // saturated into 0..255, then odd.
                const std::int64_t twice = 2 * (scale.low - 1) + static_cast<std::int64_t>(first + second);
                return static_cast<std::uint8_t>(std::min<std::int64_t>(twice > 0 ? twice >> 1 : 0, 255) | 1);
            }
            // One addition, then the halving, as the median of doubles.
            return window_byte((value_of(first) + value_of(second)) * 0.5);
        },
        out.data());
}

}  // namespace kiv
