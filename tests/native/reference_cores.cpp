// The cores in their simplest, literal form: what the fast forms in
// src/kiv/core must reproduce bit for bit. Kept apart so they never change
// along with an optimisation. A change of behaviour changes the two other
// references with it: tests/reference.py (the same cores in Python) and
// composed() in tests/test_smooth.py (the pipeline from the other functions).
#include "reference_cores.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/numeric.hpp"

namespace kiv::reference {

namespace {

// The non-NaN values, ascending. The sort is stable under `<`, so -0.0 and
// +0.0 keep their input order and the order statistics are reproducible.
inline std::vector<double> sorted_non_nan(std::span<const double> values) {
    std::vector<double> kept;
    for (const double v : values)
        if (!std::isnan(v)) kept.push_back(v);
    std::stable_sort(kept.begin(), kept.end(), [](double a, double b) { return a < b; });
    return kept;
}

}  // namespace

double nan_median(std::span<const double> values) {
    const std::vector<double> sorted = sorted_non_nan(values);
    const std::size_t k = sorted.size();
    if (k == 0) return std::numeric_limits<double>::quiet_NaN();
    if (k == 1) return at(sorted, 0);
    if (k % 2 == 1) return at(sorted, k / 2);
    // One addition, then the halving: an overflowing sum stays infinite.
    return (at(sorted, k / 2 - 1) + at(sorted, k / 2)) * 0.5;
}

std::int64_t max_window_limit(std::span<const double> timestamps, double min_window_size,
                              double max_window_sec) {
    std::vector<double> intervals;
    for (std::size_t i = 0; i + 1 < timestamps.size(); ++i)
        intervals.push_back(timestamps[i + 1] - timestamps[i]);

    const double median = reference::nan_median(intervals);
    const std::int64_t upper = trunc_sat_i64(std::nearbyint(max_window_sec / median));

    // Saturating, so a huge minimum stays huge instead of wrapping negative.
    const std::int64_t floor_size = trunc_sat_i64(min_window_size);
    const std::int64_t lower =
        floor_size == std::numeric_limits<std::int64_t>::max() ? floor_size : floor_size + 1;

    // A window is a count of samples: never below zero.
    return std::max<std::int64_t>(std::max(upper, lower), 0);
}

double nan_percentile(std::span<const double> values, double p) {
    const std::vector<double> sorted = sorted_non_nan(values);
    const std::size_t k = sorted.size();
    if (k == 0) return std::numeric_limits<double>::quiet_NaN();
    if (k == 1) return at(sorted, 0);

    const double rank = (static_cast<double>(k) - 1.0) * (p / 100.0);
    const std::uint64_t lo = trunc_sat_u64(std::floor(rank));
    const std::uint64_t hi = trunc_sat_u64(std::ceil(rank));
    // A rank beyond the data (p above 100) is refused by `at`, lo first.
    if (lo == hi) return at(sorted, lo);
    const double below = at(sorted, lo);
    const double above = at(sorted, hi);
    const double frac = rank - static_cast<double>(lo);
    return (above - below) * frac + below;
}

namespace {

// Clamps a wrapped window bound: "negative" means before the series.
std::size_t clamp_bound(std::uint64_t bound, std::size_t n) {
    if (bound >> 63) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(bound, n));
}

}  // namespace

OwnedBuffer<std::uint8_t> compute_window_sizes(std::span<const double> samples,
                                               std::uint64_t max_window_size,
                                               const SmoothingParams& params) {
    const std::size_t n = samples.size();

    std::vector<double> variability(n);
    for (std::size_t i = 0; i < n; ++i)
        variability[i] = i == 0 ? 0.0 : std::fabs(samples[i] - samples[i - 1]);

    // Both bounds are always taken, low first, so its failure is the one seen.
    const double lo = reference::nan_percentile(variability, params.low_percentile);
    const double hi = reference::nan_percentile(variability, params.high_percentile);
    if (n == 0) return OwnedBuffer<std::uint8_t>();

    double range = hi - lo;
    if (range <= 0.0) range = 1.0;
    const double span = static_cast<double>(max_window_size) - params.min_window_size;

    std::vector<double> raw(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double d = variability[i];
        if (std::isnan(d)) {
            // Zero rather than NaN: unknown variability pulls the median down.
            raw[i] = 0.0;
            continue;
        }
        const double x = (d - lo) / range;
        const double y = 0.05 > x ? 0.05 : x;
        const double z = 1.0 < y ? 1.0 : y;
        raw[i] = std::nearbyint((1.0 - z) * span + params.min_window_size);
    }

    // Bounds wrap modulo 2^64 on purpose: width 0 gives empty windows.
    const std::uint64_t w = params.window_smooth_width_size;
    const std::uint64_t half = (w - 1) / 2;
    const std::span<const double> all(raw);
    std::vector<double> smoothed(n, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t end = static_cast<std::uint64_t>(i) + half + 1;
        const std::uint64_t start = end - w;
        const std::size_t first = clamp_bound(start, n);
        const std::size_t last = clamp_bound(end, n);
        const std::span<const double> window =
            first < last ? all.subspan(first, last - first) : std::span<const double>();
        smoothed[i] = reference::nan_median(window);
    }

    OwnedBuffer<std::uint8_t> widths(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Saturate into a byte rather than keep the low bits, then make it odd.
        const std::int64_t s = trunc_sat_i64(std::trunc(smoothed[i]));
        widths[i] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(s, 0, 255) | 1);
    }
    return widths;
}

OwnedBuffer<double> variable_rolling_mean(std::span<const double> samples,
                                          std::span<const std::uint8_t> widths) {
    const std::size_t n = samples.size();
    if (n == 0) return OwnedBuffer<double>();

    OwnedBuffer<double> out(n);
    std::fill(out.begin(), out.end(), std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}));

    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t w = at(widths, i);
        if (w == 0) continue;
        // Even widths reach one sample further back than forward.
        const std::size_t half = (w - 1) / 2;
        std::size_t end = i + half + 1;
        const std::int64_t signed_start =
            static_cast<std::int64_t>(end) - static_cast<std::int64_t>(w);
        const std::size_t start =
            signed_start < 0 ? 0 : std::min(static_cast<std::size_t>(signed_start), n);
        end = std::min(end, n);

        // Summed afresh from +0.0 in index order, so results are exact to
        // reproduce (and -0.0 alone averages to +0.0).
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t k = start; k < end; ++k) {
            if (std::isnan(samples[k])) continue;
            sum += samples[k];
            ++count;
        }
        if (count == 0) continue;
        // +inf and -inf summed give the hardware's own NaN, its sign bit set
        // on x86-64 and clear on aarch64: every NaN is the one above instead.
        const double mean = sum / static_cast<double>(count);
        if (!std::isnan(mean)) out[i] = mean;
    }
    return out;
}

OwnedBuffer<double> smooth_pipeline(std::span<const double> values,
                                    std::span<const double> timestamps,
                                    const SmoothingParams& params) {
    const std::size_t n = values.size();

    // NaN has no place in time order; a lone sample needs no ordering.
    if (n >= 2) {
        for (std::size_t k = 0; k < n; ++k)
            if (std::isnan(at(timestamps, k)))
                fail("called `Option::unwrap()` on a `None` value");
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Stable, so samples sharing a timestamp keep the caller's order.
    if (n >= 2)
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return timestamps[a] < timestamps[b];
        });

    std::vector<double> sorted_values(n);
    std::vector<double> sorted_timestamps(n);
    for (std::size_t k = 0; k < n; ++k) {
        sorted_values[k] = at(values, order[k]);
        sorted_timestamps[k] = at(timestamps, order[k]);
    }

    const std::int64_t limit =
        reference::max_window_limit(sorted_timestamps, params.min_window_size, params.max_window_sec);
    const OwnedBuffer<std::uint8_t> widths =
        reference::compute_window_sizes(sorted_values, static_cast<std::uint64_t>(limit), params);
    const OwnedBuffer<double> smoothed = reference::variable_rolling_mean(
        sorted_values, std::span<const std::uint8_t>(widths.data(), widths.size()));

    OwnedBuffer<double> result(n);
    for (std::size_t k = 0; k < n; ++k) at(result, order[k]) = at(smoothed, k);
    return result;
}

}  // namespace kiv::reference
