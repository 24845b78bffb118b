#include "kiv/core/window_limit.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "kiv/core/failure.hpp"
#include "kiv/core/numeric.hpp"

namespace kiv {

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

    const double median = nan_median(intervals);
    const std::int64_t upper = trunc_sat_i64(std::nearbyint(max_window_sec / median));

    // Saturating, so a huge minimum stays huge instead of wrapping negative.
    const std::int64_t floor_size = trunc_sat_i64(min_window_size);
    const std::int64_t lower =
        floor_size == std::numeric_limits<std::int64_t>::max() ? floor_size : floor_size + 1;

    // A window is a count of samples: never below zero.
    return std::max<std::int64_t>(std::max(upper, lower), 0);
}

}  // namespace kiv
