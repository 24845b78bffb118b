#include "kiv/core/window_sizes.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/numeric.hpp"
#include "kiv/core/order_statistics.hpp"
#include "kiv/core/rolling_median.hpp"

namespace kiv {

namespace {

// Linear interpolation between the order statistics around the rank; a rank
// beyond the data is an index failure, the lower index checked first.
double percentile_of(const StableOrderStatistics& sorted, double p) {
    const std::size_t k = sorted.size();
    if (k == 0) return std::numeric_limits<double>::quiet_NaN();
    if (k == 1) return sorted.at(0);
    const double rank = (static_cast<double>(k) - 1.0) * (p / 100.0);
    const std::uint64_t lo = trunc_sat_u64(std::floor(rank));
    const std::uint64_t hi = trunc_sat_u64(std::ceil(rank));
    if (lo >= k) fail_index(k, lo);
    if (lo == hi) return sorted.at(lo);
    if (hi >= k) fail_index(k, hi);
    const auto [below, above] = sorted.pair_at(lo);  // hi is lo + 1
    const double frac = rank - static_cast<double>(lo);
    return (above - below) * frac + below;
}

}  // namespace

double nan_percentile(std::span<const double> values, double p) {
    return percentile_of(StableOrderStatistics(values), p);
}

OwnedBuffer<std::uint8_t> compute_window_sizes(std::span<const double> samples,
                                               std::uint64_t max_window_size,
                                               const SmoothingParams& params) {
    const std::size_t n = samples.size();

    // Variability first; the raw windows later take its place.
    std::vector<double> work(n);
    for (std::size_t i = 1; i < n; ++i) work[i] = std::fabs(samples[i] - samples[i - 1]);

    double lo, hi;
    {
        // Both bounds are always taken, low first, so its failure is the one seen.
        const StableOrderStatistics sorted(work);
        lo = percentile_of(sorted, params.low_percentile);
        hi = percentile_of(sorted, params.high_percentile);
    }
    if (n == 0) return OwnedBuffer<std::uint8_t>();

    double range = hi - lo;
    if (range <= 0.0) range = 1.0;
    const double span = static_cast<double>(max_window_size) - params.min_window_size;
    const double min_window_size = params.min_window_size;
    for (double& d : work) {
        const double x = (d - lo) / range;
        const double y = 0.05 > x ? 0.05 : x;
        const double z = 1.0 < y ? 1.0 : y;
        const double rounded = round_half_even((1.0 - z) * span + min_window_size);
        // Zero rather than NaN: unknown variability pulls the median down.
        d = d != d ? 0.0 : rounded;
    }

    OwnedBuffer<std::uint8_t> widths(n);
    rolling_median_bytes(work, params.window_smooth_width_size, {widths.data(), n});
    return widths;
}

}  // namespace kiv
