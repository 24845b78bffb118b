#include "kiv/core/window_sizes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/numeric.hpp"
#include "kiv/core/window_limit.hpp"

namespace kiv {

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
    const double lo = nan_percentile(variability, params.low_percentile);
    const double hi = nan_percentile(variability, params.high_percentile);
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
        smoothed[i] = nan_median(window);
    }

    OwnedBuffer<std::uint8_t> widths(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Saturate into a byte rather than keep the low bits, then make it odd.
        const std::int64_t s = trunc_sat_i64(std::trunc(smoothed[i]));
        widths[i] = static_cast<std::uint8_t>(std::clamp<std::int64_t>(s, 0, 255) | 1);
    }
    return widths;
}

}  // namespace kiv
