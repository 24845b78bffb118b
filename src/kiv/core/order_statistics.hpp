// Order statistics of the non-NaN values of a sequence, found by selection
// instead of a full sort, yet exactly those of a stable ascending sort:
// -0.0 and +0.0 compare equal, so a stable sort keeps zeros in input order,
// and which zero sits at a position decides the sign of the answer.
//
// The sequences read are those of sequences.hpp: values in place, or
// values computed when read.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "kiv/core/buffer.hpp"
#include "kiv/core/failure.hpp"
#include "kiv/core/kernels.hpp"
#include "kiv/core/sequences.hpp"
#include "kiv/core/thresholds.hpp"

namespace kiv {

namespace detail {

inline constexpr auto less = [](double a, double b) { return a < b; };

// A sequence's own kernels at the level in use, reading from its source.
template <class Sequence>
BandCounts band_pass(const Sequence& values, double low, double high, double* middle) {
    return (kernels().*Sequence::kKernels).band(values.source(), values.size(), low, high, middle);
}

template <class Sequence>
std::size_t count_numbers(const Sequence& values) {
    return (kernels().*Sequence::kKernels).numbers(values.source(), values.size());
}

// Moves the numbers for which `left` holds to the front, keeping none of
// them apart by a branch: whether a noisy number goes left is a coin toss,
// which a branch would mispredict half the time. Gives how many went left.
template <class Left>
std::size_t partition_front(double* a, std::size_t n, Left left) {
    std::size_t i = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const double x = a[j];
        const bool goes = left(x);
        a[j] = a[i];
        a[i] = x;
        i += goes;
    }
    return i;
}

// Places c at which a selection left every number before c no greater than
// any from c on (a few: the rest are let go, which only widens later searches).
struct Cuts {
    static constexpr std::size_t kMost = 64;
    std::size_t at[kMost];
    std::size_t count = 0;

    void add(std::size_t c) {
        if (count < kMost) at[count++] = c;
    }
};

// Reorders n numbers as std::nth_element does: a[k] is the k-th smallest,
// none before it larger, none after it smaller. Many numbers: a quickselect
// on the median of three scattered numbers, each level split by value into
// below, equal (so that ties end it) and above, without branches that noisy
// numbers would mispredict; after 2 log2(n) + 8 levels, std's own
// introselect finishes, so that pivots placed against it cost O(n log n) at
// worst, not O(n^2). At most kBranchySelectMaximum: std::nth_element alone
// (none in release builds: see there).
// Each level's splits are added to `cuts` (places in the n numbers).
inline void select_nth(double* a, std::size_t n, std::size_t k, Cuts* cuts = nullptr) {
    std::size_t levels = 2 * static_cast<std::size_t>(std::bit_width(n)) + 8;
    std::size_t skipped = 0;  // numbers before a
    const auto cut = [&](std::size_t c) {
        if (cuts != nullptr) cuts->add(skipped + c);
    };
    while (n > thresholds::kBranchySelectMaximum && levels-- != 0) {
        const double x = a[n / 4], y = a[n / 2], z = a[n - 1 - n / 4];
        const double pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        const std::size_t below = partition_front(a, n, [pivot](double v) { return v < pivot; });
        cut(below);
        if (k < below) {
            n = below;
            continue;
        }
        // The rest are no smaller than the pivot: those not larger equal it.
        const std::size_t equal =
            partition_front(a + below, n - below, [pivot](double v) { return !(pivot < v); });
        cut(below + equal);
        if (k < below + equal) return;
        a += below + equal;
        skipped += below + equal;
        n -= below + equal;
        k -= below + equal;
    }
    std::nth_element(a, a + k, a + n, less);
    cut(k);
    cut(k + 1);
}

// Sorted positions [position, position + count) of `size` numbers, which it reorders.
inline void select_in_place(double* numbers, std::size_t size, std::size_t position, std::size_t count,
                            double* out, Cuts* cuts = nullptr) {
    select_nth(numbers, size, position, cuts);
    out[0] = numbers[position];
    if (count == 2) {
        // The least of the rest, on independent chains (one would wait out
        // each comparison in turn). Which of equal zeros comes out does not
        // matter: with_zero_sign gives a zero its sign from the input order.
        constexpr std::size_t kChains = 8;
        double least[kChains];
        std::fill_n(least, kChains, numbers[position + 1]);
        std::size_t i = position + 2;
        for (; size - i >= kChains; i += kChains)
            for (std::size_t c = 0; c < kChains; ++c) least[c] = numbers[i + c] < least[c] ? numbers[i + c] : least[c];
        for (; i < size; ++i) least[0] = numbers[i] < least[0] ? numbers[i] : least[0];
        for (std::size_t c = 1; c < kChains; ++c) least[0] = least[c] < least[0] ? least[c] : least[0];
        out[1] = least[0];
    }
}

// The numbers among `values` in input order, by a band pass that keeps
// every number; `numbers` has room for values.size() + 1.
template <class Sequence>
std::size_t copy_numbers(const Sequence& values, double* numbers) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    return band_pass(values, -kInf, kInf, numbers).kept;
}

// The numbers counted before need not be the numbers found now, if another
// thread wrote the values meanwhile.
inline void check_still_there(std::size_t position, std::size_t count, std::size_t found) {
    if (position + count > found) fail_changed_input();
}

// Small inputs: select on a copy of the numbers.
template <class Sequence>
void select_by_copy(const Sequence& values, std::size_t position, std::size_t count, double* out) {
    const auto scratch = std::make_unique_for_overwrite<double[]>(values.size() + 1);
    const std::size_t found = copy_numbers(values, scratch.get());
    check_still_there(position, count, found);
    select_in_place(scratch.get(), found, position, count, out);
}

// Sorted positions [position, position + count) of the `kept` numbers of
// a band [low, high], which it reorders. Those equal to an end of the band
// are counted, not searched: ties there (integer clocks, quantised sensors)
// would otherwise make up most of what a selection searches, and only the
// numbers strictly inside are selected among.
inline void select_in_band(double* band, std::size_t kept, double low, double high, std::size_t position,
                           std::size_t count, double* out) {
    if (low == high) {  // every number of the band is that one
        std::fill_n(out, count, low);
        return;
    }
    std::size_t at_low = 0, at_high = 0;
    for (std::size_t i = 0; i < kept; ++i) {
        at_low += band[i] == low;
        at_high += band[i] == high;
    }
    // Sorted positions strictly inside the band.
    const std::size_t inside_from = at_low, inside_to = kept - at_high;
    std::size_t wanted = 0, first_inside = 0;
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t at = position + c;
        if (at < inside_from) {
            out[c] = low;
        } else if (at >= inside_to) {
            out[c] = high;
        } else if (wanted++ == 0) {
            first_inside = c;
        }
    }
    if (wanted == 0) return;
    std::size_t inside = 0;
    for (std::size_t i = 0; i < kept; ++i)
        if (band[i] > low && band[i] < high) band[inside++] = band[i];
    select_in_place(band, inside, position + first_inside - inside_from, wanted, out + first_inside);
}

// Sample positions spread over [0, n) without a stride: a signal periodic
// in the sample's stride would give unrepresentative pivots every time.
inline std::size_t sample_position(std::size_t s, std::size_t n) {
    std::uint64_t x = (s + 1) * 0x9E3779B97F4A7C15ull;  // splitmix64
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    // Scaled into [0, n) by a multiplication, not a division (tens of cycles).
    __extension__ using Wide = unsigned __int128;
    return static_cast<std::size_t>((static_cast<Wide>(x ^ (x >> 31)) * n) >> 64);
}

// Sorted positions [position, position + count) of the k numbers among
// `values`, count <= 2, in one pass instead of a full selection (after Floyd
// and Rivest): pivots from a sorted sample bracket the positions; only the
// values between them are kept and searched further, the rest are counted.
// Cost O(n) whatever the values: a narrow band (at most k / kBandNarrow)
// is selected in as values of its own, so each level has an eighth of the
// work of the one before; a band whose ends the sample shows tied, or that
// kept every number, has those ties counted (select_in_band); the pivots
// miss (a full selection on a copy) with the chance of a sample quantile
// four standard deviations off, however the values are ordered (the sample
// is scattered), unless they were placed against the sample's positions.
template <class Sequence>
void select(const Sequence& values, std::size_t k, std::size_t position, std::size_t count, double* out) {
    constexpr std::size_t kSample = thresholds::kBandSample;
    if (k < thresholds::kBandMinimum) return select_by_copy(values, position, count, out);

    std::vector<double> sample;
    sample.reserve(kSample);
    for (std::size_t s = 0; s < kSample; ++s)
        if (const double v = values[sample_position(s, values.size())]; v == v) sample.push_back(v);
    if (sample.empty()) return select_by_copy(values, position, count, out);
    const auto taken = static_cast<std::ptrdiff_t>(sample.size());
    const double fraction = static_cast<double>(position) / static_cast<double>(k);
    const auto margin = static_cast<std::ptrdiff_t>(4.0 * std::sqrt(fraction * (1.0 - fraction) * kSample)) + 8;
    const auto centre = static_cast<std::ptrdiff_t>(fraction * static_cast<double>(taken));
    // Near either end the margin runs past the sample: the band is then open
    // on that side, or the extreme values, rarely sampled, would miss.
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::ptrdiff_t low_at = centre - margin, high_at = centre + margin;
    // The pivots are the sample's order statistics at low_at and high_at,
    // selected, not sorted: sorting the sample would cost more than the
    // band pass on all but the largest inputs. After each selection the
    // sample is split there, so a pivot's sorted neighbours are the
    // greatest before it and the least after it.
    double* const sorted = sample.data();
    const auto greatest = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
        double m = sorted[from];
        for (std::ptrdiff_t i = from + 1; i < to; ++i) m = sorted[i] > m ? sorted[i] : m;
        return m;
    };
    const auto least = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
        double m = sorted[from];
        for (std::ptrdiff_t i = from + 1; i < to; ++i) m = sorted[i] < m ? sorted[i] : m;
        return m;
    };
    // A pivot the sample holds twice stands for many numbers: ties to count.
    bool ties = false;
    std::ptrdiff_t split = 0;  // the sample before it is sorted below what follows
    const auto pivot_at = [&](std::ptrdiff_t at) {
        select_nth(sorted + split, static_cast<std::size_t>(taken - split), static_cast<std::size_t>(at - split));
        const double pivot = sorted[at];
        if (at > 0 && at < taken - 1)
            ties |= greatest(at - 1 >= split ? split : 0, at) == pivot || least(at + 1, taken) == pivot;
        split = at + 1;
        return pivot;
    };
    const double low = low_at <= 0 ? -kInf : pivot_at(std::min(low_at, taken - 1));
    const double high = high_at >= taken - 1 ? kInf : pivot_at(high_at);

    // Every value is stored at the next free slot before the test decides
    // whether it stays: room for every value, so that neither a value after
    // the last kept number (a NaN, say) nor numbers another thread wrote
    // since they were counted can land outside. Only the front is ever read.
    {
        OwnedBuffer<double> middle(values.size() + 1);
        const auto [below, kept] = band_pass(values, low, high, middle.data());
        // A narrow band takes another band pass; a wide one is searched in
        // place, so that no second buffer of its size joins this one; one
        // with ties at its ends, or that kept every number, has them counted.
        if (below <= position && below + kept >= position + count) {
            if (kept == k || ties)
                return select_in_band(middle.data(), kept, low, high, position - below, count, out);
            if (kept <= k / thresholds::kBandNarrow)
                return select(Values{middle.data(), kept}, kept, position - below, count, out);
            return select_in_place(middle.data(), kept, position - below, count, out);
        }
    }
    // The pivots missed: select on a copy, this buffer freed first.
    select_by_copy(values, position, count, out);
}

}  // namespace detail

// The values are read several times (counted, then searched, and zeros
// again for their sign), and another thread may write them meanwhile: each
// pass stays within them, and numbers counted that are gone by the search
// fail (check_still_there), so that the answer is some value or a failure.
template <class Sequence>
class StableOrderStatistics {
public:
    // Reads the values in place (NaN among them is left out); they must
    // outlive this object.
    explicit StableOrderStatistics(Sequence values) : values_(read_as(values)), size_(0) {
        // Fewer values than a band selection needs: the copy that every
        // question then searches also counts the numbers, in one pass.
        if (values_.size() == 0) return;
        if (values_.size() < thresholds::kBandMinimum) {
            copy_numbers();
            size_ = copied_;
        } else {
            size_ = detail::count_numbers(values_);
        }
    }

    // How many values are not NaN.
    std::size_t size() const noexcept { return size_; }

    // The element a stable ascending sort would put at `position` (< size()).
    double at(std::size_t position) const {
        double value;
        select(position, 1, &value);
        return with_zero_sign(value, position);
    }

    // The elements at `position` and `position + 1` (both < size()).
    std::pair<double, double> pair_at(std::size_t position) const {
        double found[2];
        select(position, 2, found);
        return {with_zero_sign(found[0], position), with_zero_sign(found[1], position + 1)};
    }

private:
    // Few numbers are copied once for every question: each selection leaves
    // the copy split at places (cuts_) with no number before one larger
    // than any after it, so the next searches only between the two around
    // its positions (the second percentile, about half the numbers).
    void select(std::size_t position, std::size_t count, double* out) const {
        if (size_ >= thresholds::kBandMinimum) return detail::select(values_, size_, position, count, out);
        if (!copy_) copy_numbers();
        detail::check_still_there(position, count, copied_);
        std::size_t from = 0, to = copied_;
        for (std::size_t c = 0; c < cuts_.count; ++c) {
            const std::size_t at = cuts_.at[c];
            if (at <= position) from = std::max(from, at);
            if (at >= position + count) to = std::min(to, at);
        }
        detail::Cuts found;
        detail::select_in_place(copy_.get() + from, to - from, position - from, count, out, &found);
        // Cuts inside [from, to) no longer hold: the numbers there moved.
        // Kept in place (a copy of the whole record costs a short signal
        // more than its selection).
        std::size_t kept = 0;
        for (std::size_t c = 0; c < cuts_.count; ++c)
            if (cuts_.at[c] <= from || cuts_.at[c] >= to) cuts_.at[kept++] = cuts_.at[c];
        cuts_.count = kept;
        for (std::size_t c = 0; c < found.count; ++c) cuts_.add(from + found.at[c]);
    }

    void copy_numbers() const {
        copy_ = std::make_unique_for_overwrite<double[]>(values_.size() + 1);
        copied_ = detail::copy_numbers(values_, copy_.get());
    }

    double with_zero_sign(double value, std::size_t position) const {
        // Without -0.0 every zero is +0.0: no passes to find which (on a
        // constant signal, every percentile of its variability is a zero).
        if (!ReadAs<Sequence>::kNegativeZeros || value != 0.0) return value;
        // Zeros rewritten since the search leave `value` as found.
        // Zeros fill sorted positions [negatives, negatives + zeros) in input order.
        std::size_t negatives = 0;
        for (std::size_t i = 0; i < values_.size(); ++i) negatives += values_[i] < 0.0;
        std::size_t nth_zero = position - negatives;
        for (std::size_t i = 0; i < values_.size(); ++i)
            if (const double v = values_[i]; v == 0.0 && nth_zero-- == 0) return v;
        return value;
    }

    static ReadAs<Sequence> read_as(Sequence values) {
        if constexpr (std::is_same_v<Sequence, ReadAs<Sequence>>) {
            return values;
        } else {
            return Values::of(values);
        }
    }

    ReadAs<Sequence> values_;  // input order, never permuted
    std::size_t size_;
    mutable std::unique_ptr<double[]> copy_;
    mutable std::size_t copied_ = 0;
    mutable detail::Cuts cuts_;
};

}  // namespace kiv
